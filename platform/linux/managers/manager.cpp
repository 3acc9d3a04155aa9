#include "managers/manager.h"

#include "kernel/netns.h"
#include "kernel/procfs.h"
#include "kernel/processes.h"
#include "records/records.h"

#include <fstream>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace manager {

namespace {

// The options of each client that take a value in the next word; any other
// word that is not an option names an interface. udhcpc names its one only
// with -i and otherwise serves eth0.
const std::map<std::string, std::set<std::string>> &clientOptions()
{
    static const std::map<std::string, std::set<std::string>> options = {
        {"dhclient", {"-p", "-pf", "-lf", "-cf", "-sf", "-s", "-g", "-e", "-n", "--timeout"}},
        {"dhcpcd", {"-c", "-e", "-f", "-h", "-I", "-i", "-j", "-l", "-m", "-o", "-O", "-Q", "-r", "-s",
                    "-S", "-t", "-u", "-v", "-y", "-z", "-Z", "-C", "-F", "-G", "-x"}},
        {"udhcpc", {"-p", "-s", "-t", "-T", "-A", "-x", "-O", "-V", "-H", "-h", "-F", "-r", "-c", "-B"}},
        {"pump", {"-c", "-h", "-l"}},
    };
    return options;
}

// The DHCP clients alive in this network namespace.
std::vector<Process> dhcpClients()
{
    std::vector<Process> clients;
    const netns::Id own = netns::of("self");
    for (const int pid : processes::all()) {
        Process p;
        if (clientOptions().count(processes::nameOf(pid)) && netns::same(netns::of(std::to_string(pid)), own)
            && processes::read(pid, &p))
            clients.push_back(p);
    }
    return clients;
}

// systemd-networkd configures links of the namespace it runs in, the machine's.
bool networkdManagesHere(int ifindex)
{
    if (!netns::isMachines())
        return false;
    return networkdManages(procfs::readFile("/run/systemd/netif/links/" + std::to_string(ifindex)));
}

} // namespace

bool serves(const Process &given, const std::string &ifname)
{
    const auto known = clientOptions().find(given.comm);
    if (known == clientOptions().end())
        return false;
    // dhcpcd's helpers rewrite their command line into one title:
    // "dhcpcd: [privileged proxy] eth1 [ip4]".
    Process process = given;
    if (process.argv.size() == 1) {
        std::istringstream title(process.argv.front());
        process.argv.clear();
        for (std::string word; title >> word;)
            process.argv.push_back(word);
    }
    bool namesAny = false;
    for (size_t i = 1; i < process.argv.size(); ++i) {
        const std::string &word = process.argv[i];
        if (process.comm == "udhcpc" && (word == "-i" || word == "--interface")) {
            if (i + 1 < process.argv.size() && process.argv[++i] == ifname)
                return true;
            namesAny = true;
            continue;
        }
        if (process.comm == "udhcpc" && word.rfind("--interface=", 0) == 0) {
            if (word.substr(12) == ifname)
                return true;
            namesAny = true;
            continue;
        }
        if (word.empty() || word[0] == '-') {
            if (known->second.count(word))
                ++i;
            continue;
        }
        if (process.comm == "udhcpc")
            continue;
        if (word == ifname)
            return true;
        namesAny = true;
    }
    if (process.comm == "udhcpc")
        return !namesAny && ifname == "eth0";
    return !namesAny;
}

bool trusted(const Process &process)
{
    if (process.uid == 0)
        return true;
    // dhcpcd's helpers drop root for a user of its own.
    const passwd *user = process.comm == "dhcpcd" ? ::getpwnam("dhcpcd") : nullptr;
    return user && user->pw_uid == uid_t(process.uid);
}

bool networkdManages(const std::string &linkStateFile)
{
    std::istringstream in(linkStateFile);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ADMIN_STATE=", 0) != 0)
            continue;
        const std::string state = line.substr(12);
        return !state.empty() && state != "unmanaged" && state != "linger";
    }
    return false;
}

Owner decide(const std::string &ifname, bool networkManager, const std::vector<Process> &clients,
             const std::set<int> &own, bool networkd)
{
    // NetworkManager runs its DHCP clients itself: they are its own.
    if (networkManager)
        return {Kind::NetworkManager, "NetworkManager"};
    for (const Process &p : clients) {
        if (!own.count(p.pid) && trusted(p) && serves(p, ifname))
            return {Kind::DhcpClient, p.comm + " (process " + std::to_string(p.pid) + ")"};
    }
    if (networkd)
        return {Kind::Networkd, "systemd-networkd"};
    return {};
}

Owner foreign(const rtnl::Link &link)
{
    records::InterfaceState state;
    records::load(link, &state);
    // netsh's client and its helpers share a mount namespace of their own,
    // which tells them even when a helper's client has just ended. A helper
    // comes and goes as the client works: one gone by now counts for nothing.
    std::vector<Process> clients;
    std::set<int> own;
    for (const Process &p : dhcpClients()) {
        const ino_t mounts = procfs::mountNamespaceOf(std::to_string(p.pid));
        if (!mounts)
            continue;
        clients.push_back(p);
        if (p.pid == state.clientPid || mounts == state.clientMounts)
            own.insert(p.pid);
    }
    return decide(link.name, false, clients, own, networkdManagesHere(link.index));
}

std::string refusal(const std::string &ifname, const Owner &owner)
{
    return "'" + ifname + "' is managed by " + owner.name + ", which netsh does not drive; nothing was changed.";
}

} // namespace manager
