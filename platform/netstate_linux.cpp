#include "netstate_linux.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace netstate {

namespace {

using Fields = std::map<std::string, std::string>;

// Every network namespace has an inode of its own in nsfs.
std::string folder()
{
    const char *root = std::getenv("VANTOREL_STATE_DIR");
    const std::string dir = root && *root ? root : "/run/vantorel";
    struct stat st;
    const unsigned long long inode = ::stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
    return dir + "/net-" + std::to_string(inode);
}

// Readers never create the folder; writers do. The kernel refuses '/', ':',
// blanks, "." and ".." in an interface name, so the name serves as a file name.
std::string fileOf(const std::string &ifname, const char *suffix, bool create)
{
    return (create ? namespaceDir() : folder()) + "/" + ifname + suffix;
}


bool readFields(const std::string &path, Fields *fields)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string &value = (*fields)[line.substr(0, eq)];
        // A key given twice (several dns= lines of a lease) adds to the list.
        if (!value.empty())
            value += ' ';
        value += line.substr(eq + 1);
    }
    return true;
}

std::string oneLine(std::string value)
{
    for (char &c : value) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return value;
}

// Readers see the old record or the new one, never half of one.
bool writeAtomically(const std::string &path, const std::string &content)
{
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out || !(out << content) || !out.flush()) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

int toInt(const std::string &text)
{
    return std::atoi(text.c_str());
}

} // namespace

std::string namespaceDir()
{
    const std::string dir = folder();
    std::error_code ignored;   // a writer that can't create it fails at its write
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

std::string namespaceFolder()
{
    return folder();
}

bool load(const std::string &ifname, int ifindex, InterfaceState *state)
{
    *state = InterfaceState();
    state->ifindex = ifindex;
    Fields f;
    if (!readFields(fileOf(ifname, ".state", false), &f) || toInt(f["ifindex"]) != ifindex)
        return false;
    state->method = f["method"];
    state->dnsSource = f["dnsSource"];
    state->staticDns = f["staticDns"];
    state->clientPid = toInt(f["clientPid"]);
    state->savedAddresses = f["savedAddresses"];
    state->savedRoutes = f["savedRoutes"];
    return true;
}

bool save(const std::string &ifname, const InterfaceState &state)
{
    std::ostringstream out;
    out << "ifindex=" << state.ifindex << '\n'
        << "method=" << oneLine(state.method) << '\n'
        << "dnsSource=" << oneLine(state.dnsSource) << '\n'
        << "staticDns=" << oneLine(state.staticDns) << '\n'
        << "clientPid=" << state.clientPid << '\n'
        << "savedAddresses=" << oneLine(state.savedAddresses) << '\n'
        << "savedRoutes=" << oneLine(state.savedRoutes) << '\n';
    return writeAtomically(fileOf(ifname, ".state", true), out.str());
}

void forget(const std::string &ifname)
{
    std::remove(fileOf(ifname, ".state", false).c_str());
}

bool loadLease(const std::string &ifname, Lease *lease)
{
    *lease = Lease();
    Fields f;
    if (!readFields(fileOf(ifname, ".lease", false), &f))
        return false;
    lease->dns = f["dns"];
    lease->server = f["server"];
    return true;
}

std::set<std::string> recordedInterfaces(const std::string &folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::filesystem::path file = it->path().filename();
        if (file.extension() == ".state" || file.extension() == ".lease")
            names.insert(file.stem());
    }
    return names;
}

void forgetLease(const std::string &ifname)
{
    std::remove(fileOf(ifname, ".lease", false).c_str());
}

} // namespace netstate
