#include "resolver.h"

#include "process.h"
#include "text.h"

#include "kernel/netns.h"
#include "kernel/processes.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace netsh {

namespace {

bool isNameserverLine(const std::string &line, std::string *server)
{
    const std::vector<std::string> fields = words(line);
    if (fields.size() < 2 || fields[0] != "nameserver")
        return false;
    *server = fields[1];
    return true;
}

// resolv.conf with `servers` in place of its first nameserver line (at the end
// when it has none); later lines naming one of them go, the rest stays.
std::string withNameservers(const std::string &content, const std::vector<std::string> &servers)
{
    const std::set<std::string> wanted(servers.begin(), servers.end());
    std::string newLines;
    for (const std::string &server : servers)
        newLines += "nameserver " + server + "\n";
    std::istringstream in(content);
    std::string result;
    std::string line;
    bool placed = false;
    while (std::getline(in, line)) {
        std::string server;
        if (isNameserverLine(line, &server)) {
            if (!placed) {
                result += newLines;
                placed = true;
                continue;
            }
            if (wanted.count(server))
                continue;
        }
        result += line + "\n";
    }
    if (!placed)
        result += newLines;
    return result;
}

std::string firstNameserver(const std::string &content)
{
    std::istringstream in(content);
    std::string line;
    std::string server;
    while (std::getline(in, line)) {
        if (isNameserverLine(line, &server))
            return server;
    }
    return std::string();
}

bool usesResolved()
{
    struct stat st;
    return ::stat("/run/systemd/resolve", &st) == 0 && S_ISDIR(st.st_mode);
}

const char resolvConf[] = "/etc/resolv.conf";

} // namespace

sys::Error setResolver(const std::string &ifname, const std::vector<std::string> &servers,
                        const std::string &formerServer)
{
    const bool machine = netns::isMachines();
    // Another namespace's interface must not change the machine's resolver:
    // there the record alone carries the interface's DNS server.
    if (!machine && !processes::mountedHere(resolvConf))
        return sys::Error();
    if (machine && usesResolved()) {
        std::vector<std::string> arguments = {"resolvectl", servers.empty() ? "revert" : "dns", "--", ifname};
        arguments.insert(arguments.end(), servers.begin(), servers.end());
        const std::string program = findExecutable("resolvectl");
        std::string output;
        if (program.empty() || spawn(program, arguments, nullptr, &output, 10000) != 0)
            return "systemd-resolved did not take the DNS server: " + lastLine(output);
        return sys::Error();
    }
    const std::string content = readFile(resolvConf);
    if (servers.empty() && (formerServer.empty() || firstNameserver(content) != formerServer))
        return sys::Error();
    // Written in place: the file may be a mount point or a link to elsewhere.
    std::ofstream out(resolvConf, std::ios::trunc);
    if (!out || !(out << withNameservers(content, servers)) || !out.flush())
        return std::string(resolvConf) + " can't be written: " + std::strerror(errno);
    return sys::Error();
}

} // namespace netsh
