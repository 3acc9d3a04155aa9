#include "netsh.h"

#include "manager_linux.h"
#include "netstate_linux.h"
#include "networkmanager_linux.h"
#include "rtnl_linux.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <net/if.h>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace netsh {

namespace {

using rtnl::Address4;
using rtnl::Route4;

bool fail(std::string *error, const std::string &text)
{
    *error = text;
    return false;
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string inQuotes(const std::string &text)
{
    return "'" + text + "'";
}

// ---- Reading the command ------------------------------------------------

using Parameters = std::map<std::string, std::string>;

uint32_t hostOrder(uint32_t address)
{
    return ntohl(address);
}

// A host's own address: not "this network" (0/8), loopback (127/8), multicast
// or the reserved and broadcast range (224/3).
bool isHostAddress(uint32_t address)
{
    const uint32_t first = hostOrder(address) >> 24;
    return first != 0 && first != 127 && first < 224;
}

// The subnet's own number and its broadcast address are nobody's address;
// /31 and /32 have neither.
bool isSubnetEdge(uint32_t address, int prefix)
{
    if (prefix > 30)
        return false;
    const uint32_t hostPart = hostOrder(address) & ~hostOrder(rtnl::prefixToMask(prefix));
    return hostPart == 0 || hostPart == ~hostOrder(rtnl::prefixToMask(prefix));
}

bool readAddress(const Parameters &given, const std::string &key, uint32_t *address, std::string *error)
{
    const std::string &value = given.at(key);
    if (!rtnl::fromText(value, address))
        return fail(error, "Invalid " + key + " value " + inQuotes(value) + ": an IPv4 address like 192.168.1.10 is expected.");
    return true;
}

bool readStaticAddress(const Parameters &given, Request *request, std::string *error)
{
    uint32_t mask = 0;
    if (!readAddress(given, "addr", &request->address, error) || !readAddress(given, "mask", &mask, error))
        return false;
    request->prefix = rtnl::maskToPrefix(mask);
    if (request->prefix <= 0)
        return fail(error, "Invalid mask value " + inQuotes(given.at("mask")) + ": the mask's ones must be contiguous and at least one.");
    if (!isHostAddress(request->address) || isSubnetEdge(request->address, request->prefix))
        return fail(error, "Invalid addr value " + inQuotes(given.at("addr")) + ": not a host address in a subnet with mask " + given.at("mask") + ".");

    const auto gateway = given.find("gateway");
    if (gateway == given.end() || lower(gateway->second) == "none") {
        if (given.count("gwmetric"))
            return fail(error, "gwmetric is given without a gateway.");
        return true;
    }
    if (!readAddress(given, "gateway", &request->gateway, error))
        return false;
    const uint32_t netmask = rtnl::prefixToMask(request->prefix);
    const std::string subnet = rtnl::toText(request->address & netmask) + "/" + std::to_string(request->prefix);
    // A default route needs a gateway the interface reaches directly.
    if ((request->gateway & netmask) != (request->address & netmask))
        return fail(error, "Invalid gateway value " + inQuotes(gateway->second) + ": it is not in the subnet " + subnet + ".");
    if (!isHostAddress(request->gateway) || isSubnetEdge(request->gateway, request->prefix)
        || request->gateway == request->address)
        return fail(error, "Invalid gateway value " + inQuotes(gateway->second) + ": not another host of the subnet " + subnet + ".");

    const auto metric = given.find("gwmetric");
    if (metric != given.end()) {
        const std::string &text = metric->second;
        if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
            return fail(error, "Invalid gwmetric value " + inQuotes(text) + ": a number from 0 to 9999 is expected.");
        request->metric = uint32_t(std::stoul(text));
    }
    return true;
}

bool readStaticDns(const Parameters &given, Request *request, std::string *error)
{
    if (!readAddress(given, "addr", &request->address, error))
        return false;
    // A resolver on this host (127.0.0.53) is a fine DNS server.
    const uint32_t first = hostOrder(request->address) >> 24;
    if (first == 0 || first >= 224)
        return fail(error, "Invalid addr value " + inQuotes(given.at("addr")) + ": not the address of a DNS server.");
    return true;
}

// ---- Child processes ----------------------------------------------------

// The signal mask netsh was started with; children get it back.
sigset_t startMask;

// Interrupting netsh between two changes would leave the interface half
// changed: the usual ways of ending a program wait until it is done.
class SignalsHeld
{
public:
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&held, signal);
        sigprocmask(SIG_BLOCK, &held, &startMask);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &startMask, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

std::string findExecutable(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

std::string lastLine(const std::string &text)
{
    std::istringstream lines(text);
    std::string line;
    std::string last;
    while (std::getline(lines, line)) {
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            last = line;
    }
    return last;
}

// Runs a program without a shell and waits for it. `prepare` runs in the child
// before the program and returns the reason when the child can't go on. Its
// exit code (-1 when it did not end normally); its output in *output.
int spawn(const std::string &program, const std::vector<std::string> &arguments,
          const std::function<std::string()> &prepare, std::string *output)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    // A memory file, not a pipe: a daemon that keeps it open can't make us wait.
    const int out = ::memfd_create("netsh-child-output", MFD_CLOEXEC);

    const pid_t pid = ::fork();
    if (pid < 0) {
        *output = std::strerror(errno);
        if (out >= 0)
            ::close(out);
        return -1;
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &startMask, nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(out >= 0 ? out : null, STDOUT_FILENO);
        ::dup2(out >= 0 ? out : null, STDERR_FILENO);
        std::string failure = prepare ? prepare() : std::string();
        if (failure.empty()) {
            ::execv(program.c_str(), argv.data());
            failure = program + ": " + std::strerror(errno);
        }
        failure += "\n";
        (void)!::write(STDERR_FILENO, failure.data(), failure.size());
        ::_exit(126);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    output->clear();
    if (out >= 0) {
        char buffer[4096];
        ssize_t n = 0;
        ::lseek(out, 0, SEEK_SET);
        while ((n = ::read(out, buffer, sizeof buffer)) > 0)
            output->append(buffer, std::string::size_type(n));
        ::close(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool makeDirs(const std::string &path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// ---- The DHCP client ----------------------------------------------------

// A process's network namespace, as the inode nsfs gives it (0: unreadable).
ino_t netNamespaceOf(const std::string &pid)
{
    struct stat st;
    return ::stat(("/proc/" + pid + "/ns/net").c_str(), &st) == 0 ? st.st_ino : 0;
}

bool sameNetworkNamespace(int pid)
{
    const ino_t own = netNamespaceOf("self");
    return own && own == netNamespaceOf(std::to_string(pid));
}

// The process is a live dhcpcd of this network namespace: a recorded pid that
// has been reused by another program, or by another namespace's client, is not.
bool isRunningClient(int pid)
{
    if (pid <= 0)
        return false;
    const std::string proc = "/proc/" + std::to_string(pid);
    if (readFile(proc + "/comm") != "dhcpcd\n")
        return false;
    const std::string stat = readFile(proc + "/stat");
    const std::string::size_type end = stat.rfind(')');
    if (end == std::string::npos || stat.compare(end, 3, ") Z") == 0)
        return false;
    return sameNetworkNamespace(pid);
}

bool waitUntilGone(int pid, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += 50) {
        if (!isRunningClient(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !isRunningClient(pid);
}

rtnl::Error stopClient(int pid)
{
    if (!isRunningClient(pid))
        return rtnl::Error();
    // Started with -p, the client leaves the interface as it is when it ends.
    ::kill(pid, SIGTERM);
    if (waitUntilGone(pid, 5000))
        return rtnl::Error();
    ::kill(pid, SIGKILL);
    if (waitUntilGone(pid, 2000))
        return rtnl::Error();
    return "The DHCP client (process " + std::to_string(pid) + ") does not end.";
}

// Starts dhcpcd for the interface; it goes on running after netsh ends.
//
// dhcpcd keeps its pid file and control socket in /run/dhcpcd and its leases
// in /var/lib/dhcpcd, named after the interface. Every network namespace may
// have an interface of that name, so the client runs in a mount namespace of
// its own that sees this namespace's folders there.
rtnl::Error startClient(const std::string &ifname, const Environment &environment, int *pid)
{
    const std::string dir = netstate::namespaceDir();
    const std::string runDir = dir + "/dhcpcd/run";
    const std::string libDir = dir + "/dhcpcd/lib";
    if (!makeDirs(runDir) || !makeDirs(libDir))
        return "The DHCP client's folders can't be made in " + dir + ".";
    const std::string pidFile = runDir + "/" + ifname + "-4.pid";
    std::remove(pidFile.c_str());
    const std::string program = findExecutable("dhcpcd");
    if (program.empty())
        return "The DHCP client dhcpcd is not installed.";

    const std::vector<std::string> arguments = {
        "dhcpcd", "-4", "-b", "-p", "-t", "0",
        "-c", environment.system32 + "/dhcp-hook",
        // dhcpcd gives its hook a clean environment; this is how the hook
        // finds where to record the lease.
        "-e", "VANTOREL_NAMESPACE_DIR=" + dir,
        "-o", "domain_name_servers",
        ifname};
    const auto ownMounts = [&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0)
            return std::string("unshare: ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("mount: ") + std::strerror(errno);
        for (const auto &bind : {std::make_pair(runDir, std::string("/run/dhcpcd")),
                                 std::make_pair(libDir, std::string("/var/lib/dhcpcd"))}) {
            if (!makeDirs(bind.second) || ::mount(bind.first.c_str(), bind.second.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return bind.second + ": " + std::strerror(errno);
        }
        return std::string();
    };
    std::string output;
    const int code = spawn(program, arguments, ownMounts, &output);
    if (code != 0)
        return "The DHCP client could not be started: " + lastLine(output);

    // With -b the client forks at once; the daemon writes its pid file.
    for (int waited = 0; waited < 5000; waited += 50) {
        std::ifstream in(pidFile);
        int recorded = 0;
        if (in >> recorded && isRunningClient(recorded)) {
            *pid = recorded;
            return rtnl::Error();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "The DHCP client did not keep running: " + lastLine(output);
}

// ---- The system resolver --------------------------------------------------

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> result;
    std::string word;
    while (in >> word)
        result.push_back(word);
    return result;
}

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

// The machine's own network namespace is the one kernel threads (kthreadd,
// pid 2) live in; pid 1's may be hidden even from root.
bool inMachineNamespace()
{
    ino_t machine = netNamespaceOf("2");
    if (!machine)
        machine = netNamespaceOf("1");
    return machine && machine == netNamespaceOf("self");
}

// `ip netns exec` (and a test) mounts a resolver file of the namespace's own
// over /etc/resolv.conf.
bool resolverMountedHere()
{
    std::istringstream in(readFile("/proc/self/mountinfo"));
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> fields = words(line);
        if (fields.size() > 4 && fields[4] == resolvConf)
            return true;
    }
    return false;
}

// Makes `servers` the interface's DNS servers in the system resolver. With
// none, a resolv.conf whose first server is `formerServer` loses that line.
rtnl::Error setResolver(const std::string &ifname, const std::vector<std::string> &servers,
                        const std::string &formerServer)
{
    const bool machine = inMachineNamespace();
    // Another namespace's interface must not change the machine's resolver:
    // there the record alone carries the interface's DNS server.
    if (!machine && !resolverMountedHere())
        return rtnl::Error();
    if (machine && usesResolved()) {
        std::vector<std::string> arguments = {"resolvectl", servers.empty() ? "revert" : "dns", ifname};
        arguments.insert(arguments.end(), servers.begin(), servers.end());
        const std::string program = findExecutable("resolvectl");
        std::string output;
        if (program.empty() || spawn(program, arguments, nullptr, &output) != 0)
            return "systemd-resolved did not take the DNS server: " + lastLine(output);
        return rtnl::Error();
    }
    const std::string content = readFile(resolvConf);
    if (servers.empty() && (formerServer.empty() || firstNameserver(content) != formerServer))
        return rtnl::Error();
    // Written in place: the file may be a mount point or a link to elsewhere.
    std::ofstream out(resolvConf, std::ios::trunc);
    if (!out || !(out << withNameservers(content, servers)) || !out.flush())
        return std::string(resolvConf) + " can't be written: " + std::strerror(errno);
    return rtnl::Error();
}

// ---- The interface's addresses and default routes -------------------------

struct Config {
    std::vector<Address4> addresses;
    std::vector<Route4> routes;
};

struct Snapshot {
    Config config;
    netstate::InterfaceState state;
    bool clientRunning = false;
};

std::string routeText(const Route4 &r)
{
    return "the default route via " + rtnl::toText(r.gateway) + " metric " + std::to_string(r.metric);
}

// An address the interface has that satisfies a wanted one: the same address
// and prefix, and without a lifetime when the wanted one has none.
bool satisfies(const Address4 &have, const Address4 &want)
{
    return rtnl::sameAddress(have, want) && (have.permanent || !want.permanent);
}

template <typename T, typename Same>
bool contains(const std::vector<T> &list, const T &item, Same same)
{
    for (const T &entry : list) {
        if (same(entry, item))
            return true;
    }
    return false;
}

rtnl::Error readConfig(int ifindex, Config *config)
{
    rtnl::Error error;
    config->addresses = rtnl::addresses(ifindex, &error);
    if (error.empty())
        config->routes = rtnl::defaultRoutes(ifindex, &error);
    return error.empty() ? error : "The interface's configuration can't be read: " + error;
}

bool matches(const Config &have, const Config &want)
{
    if (have.addresses.size() != want.addresses.size() || have.routes.size() != want.routes.size())
        return false;
    for (const Address4 &a : want.addresses) {
        if (!contains(have.addresses, a, satisfies))
            return false;
    }
    for (const Route4 &r : want.routes) {
        if (!contains(have.routes, r, rtnl::sameRoute))
            return false;
    }
    return true;
}

// One pass towards `want`: new things first, so that the interface is never
// without an address it is to keep, then away with the rest.
rtnl::Error convergeOnce(int ifindex, const Config &want)
{
    Config have;
    rtnl::Error error = readConfig(ifindex, &have);
    if (!error.empty())
        return error;
    // The same address with a lifetime, where a permanent one is wanted, has to
    // go before the kernel takes the permanent one.
    for (const Address4 &a : have.addresses) {
        if (contains(want.addresses, a, rtnl::sameAddress) && !contains(want.addresses, a, satisfies)
            && !(error = rtnl::deleteAddress(ifindex, a)).empty())
            return "Can't remove " + rtnl::toText(a) + ": " + error;
    }
    if (!(error = readConfig(ifindex, &have)).empty())
        return error;
    for (const Address4 &a : want.addresses) {
        if (!contains(have.addresses, a, rtnl::sameAddress) && !(error = rtnl::addAddress(ifindex, a)).empty())
            return "Can't add " + rtnl::toText(a) + ": " + error;
    }
    for (const Route4 &r : want.routes) {
        if (!contains(have.routes, r, rtnl::sameRoute) && !(error = rtnl::addDefaultRoute(ifindex, r)).empty())
            return "Can't add " + routeText(r) + ": " + error;
    }
    for (const Route4 &r : have.routes) {
        if (!contains(want.routes, r, rtnl::sameRoute) && !(error = rtnl::deleteDefaultRoute(ifindex, r)).empty())
            return "Can't remove " + routeText(r) + ": " + error;
    }
    // Secondaries first (the kernel lists them last): deleting a primary takes
    // its secondaries along.
    for (auto a = have.addresses.rbegin(); a != have.addresses.rend(); ++a) {
        if (contains(want.addresses, *a, rtnl::sameAddress))
            continue;
        error = rtnl::deleteAddress(ifindex, *a);
        Config now;
        if (!error.empty() && readConfig(ifindex, &now).empty() && contains(now.addresses, *a, rtnl::sameAddress))
            return "Can't remove " + rtnl::toText(*a) + ": " + error;
    }
    return rtnl::Error();
}

// Gives the interface exactly `want`'s IPv4 addresses and default routes.
rtnl::Error converge(int ifindex, const Config &want)
{
    // Deleting a primary address takes the secondaries of its subnet along
    // (unless the kernel promotes them), and deleting an interface's last
    // address flushes its routes: another pass puts back what went with them.
    for (int pass = 0; pass < 3; ++pass) {
        const rtnl::Error error = convergeOnce(ifindex, want);
        if (!error.empty())
            return error;
        Config have;
        if (readConfig(ifindex, &have).empty() && matches(have, want))
            return rtnl::Error();
    }
    return "The interface did not keep its new configuration.";
}

bool takeSnapshot(const rtnl::Link &link, Snapshot *snapshot, std::string *error)
{
    const rtnl::Error failure = readConfig(link.index, &snapshot->config);
    if (!failure.empty())
        return fail(error, failure);
    netstate::load(link.name, link.index, &snapshot->state);
    snapshot->clientRunning = isRunningClient(snapshot->state.clientPid);
    return true;
}

std::string recordError(const std::string &ifname)
{
    return "The record of " + inQuotes(ifname) + " can't be written in " + netstate::namespaceDir() + ".";
}

// Puts back the addresses, routes, record and DHCP client of the snapshot.
void rollBack(const rtnl::Link &link, const Snapshot &before, const Environment &environment)
{
    converge(link.index, before.config);
    netstate::InterfaceState state = before.state;
    if (before.clientRunning && !isRunningClient(state.clientPid)) {
        int pid = 0;
        startClient(link.name, environment, &pid);
        state.clientPid = pid;
    }
    netstate::save(link.name, state);
}

// Ends a change: on failure everything goes back to the snapshot.
bool finish(const rtnl::Link &link, const Snapshot &before, const Environment &environment,
            const rtnl::Error &failure, std::string *error)
{
    if (failure.empty())
        return true;
    rollBack(link, before, environment);
    return fail(error, failure);
}

bool applyStaticAddress(const rtnl::Link &link, const Request &request, const Environment &environment,
                        std::string *error)
{
    Snapshot before;
    if (!takeSnapshot(link, &before, error))
        return false;
    Config want;
    Address4 address;
    address.address = request.address;
    address.prefix = request.prefix;
    want.addresses.push_back(address);
    if (request.gateway)
        want.routes.push_back(Route4{request.gateway, request.metric});

    // The client would otherwise renew its lease over the static address.
    rtnl::Error failure = stopClient(before.state.clientPid);
    if (failure.empty())
        failure = converge(link.index, want);
    if (failure.empty()) {
        netstate::InterfaceState state = before.state;
        state.method = "static";
        state.clientPid = 0;
        if (!netstate::save(link.name, state))
            failure = recordError(link.name);
    }
    if (!finish(link, before, environment, failure, error))
        return false;
    netstate::forgetLease(link.name);
    return true;
}

bool applyDhcpAddress(const rtnl::Link &link, const Environment &environment, std::string *error)
{
    Snapshot before;
    if (!takeSnapshot(link, &before, error))
        return false;
    netstate::InterfaceState state = before.state;
    state.method = "dhcp";
    if (before.clientRunning)
        return netstate::save(link.name, state) || fail(error, recordError(link.name));

    // The static addresses and gateways go; the client brings its own.
    rtnl::Error failure = converge(link.index, Config());
    if (failure.empty()) {
        netstate::forgetLease(link.name);
        failure = startClient(link.name, environment, &state.clientPid);
    }
    if (failure.empty() && !netstate::save(link.name, state)) {
        stopClient(state.clientPid);
        failure = recordError(link.name);
    }
    return finish(link, before, environment, failure, error);
}

bool applyDns(const rtnl::Link &link, const Request &request, std::string *error)
{
    netstate::InterfaceState before;
    netstate::load(link.name, link.index, &before);
    netstate::InterfaceState state = before;
    std::vector<std::string> servers;
    if (request.source == Source::Static) {
        state.dnsSource = "static";
        state.staticDns = rtnl::toText(request.address);
        servers.push_back(state.staticDns);
    } else {
        state.dnsSource = "dhcp";
        state.staticDns.clear();
        netstate::Lease lease;
        if (netstate::loadLease(link.name, &lease))
            servers = words(lease.dns);
    }
    if (!netstate::save(link.name, state))
        return fail(error, recordError(link.name));
    const rtnl::Error failure = setResolver(link.name, servers, before.staticDns);
    if (failure.empty())
        return true;
    netstate::save(link.name, before);
    return fail(error, failure);
}

networkmanager::Change nmChange(const Request &request)
{
    networkmanager::Change change;
    const bool fixed = request.source == Source::Static;
    if (request.setting == Setting::Address)
        change.what = fixed ? networkmanager::Change::StaticAddress : networkmanager::Change::DhcpAddress;
    else
        change.what = fixed ? networkmanager::Change::StaticDns : networkmanager::Change::DhcpDns;
    change.address = request.address;
    change.prefix = request.prefix;
    change.gateway = request.gateway;
    return change;
}

} // namespace

bool parse(const std::vector<std::string> &words, Request *request, std::string *error)
{
    *request = Request();
    std::string command;
    for (const std::string &word : words)
        command += (command.empty() ? "" : " ") + word;
    const std::string what = words.size() > 3 ? lower(words[3]) : std::string();
    if (words.size() < 4 || lower(words[0]) != "interface" || (lower(words[1]) != "ip" && lower(words[1]) != "ipv4")
        || lower(words[2]) != "set" || (what != "address" && what != "dns"))
        return fail(error, "The following command was not found: " + command + ".");
    request->setting = what == "address" ? Setting::Address : Setting::Dns;
    const std::set<std::string> known = request->setting == Setting::Address
        ? std::set<std::string>{"name", "source", "addr", "mask", "gateway", "gwmetric"}
        : std::set<std::string>{"name", "source", "addr", "register"};

    Parameters given;
    for (auto word = words.begin() + 4; word != words.end(); ++word) {
        const std::string::size_type eq = word->find('=');
        if (eq == std::string::npos || eq == 0)
            return fail(error, inQuotes(*word) + " is not a parameter of the form keyword=value.");
        const std::string key = lower(word->substr(0, eq));
        if (!known.count(key))
            return fail(error, inQuotes(key) + " is not a parameter of 'set " + what + "'.");
        if (!given.emplace(key, word->substr(eq + 1)).second)
            return fail(error, "The parameter " + inQuotes(key) + " is given twice.");
    }

    const auto require = [&](const char *key) {
        if (given.count(key) && !given.at(key).empty())
            return true;
        return fail(error, std::string("The parameter '") + key + "' is missing.");
    };
    if (!require("name") || !require("source"))
        return false;
    request->name = given.at("name");
    const std::string source = lower(given.at("source"));
    if (source != "static" && source != "dhcp")
        return fail(error, "Invalid source value " + inQuotes(given.at("source")) + ": static or dhcp is expected.");
    request->source = source == "static" ? Source::Static : Source::Dhcp;
    if (given.count("register")) {
        const std::string value = lower(given.at("register"));
        if (value != "none" && value != "primary" && value != "both")
            return fail(error, "Invalid register value " + inQuotes(given.at("register")) + ": none, primary or both is expected.");
    }

    if (request->source == Source::Dhcp) {
        for (const auto &parameter : given) {
            if (parameter.first != "name" && parameter.first != "source" && parameter.first != "register")
                return fail(error, inQuotes(parameter.first) + " can't be given with source=dhcp.");
        }
        return true;
    }
    if (request->setting == Setting::Address)
        return require("addr") && require("mask") && readStaticAddress(given, request, error);
    return require("addr") && readStaticDns(given, request, error);
}

bool apply(const Request &request, const Environment &environment, std::string *error)
{
    const SignalsHeld held;
    rtnl::Link link;
    rtnl::Error failure;
    if (!rtnl::linkByName(request.name, &link, &failure)) {
        if (!failure.empty())
            return fail(error, "The interfaces can't be read: " + failure);
        return fail(error, "There is no interface named " + inQuotes(request.name) + ".");
    }
    if (link.flags & IFF_LOOPBACK)
        return fail(error, inQuotes(request.name) + " is the loopback interface; it can't be configured.");
    // ---- Who manages the interface decides the road ----
    const manager::Owner owner = manager::of(link.name, link.index);
    if (owner.kind == manager::Kind::NetworkManager)
        return networkmanager::apply(link.name, nmChange(request), error);
    if (owner.kind != manager::Kind::Nobody)
        return fail(error, manager::refusal(link.name, owner));
    // ---- Nobody does: the kernel and our own DHCP client ----
    if (request.setting == Setting::Dns)
        return applyDns(link, request, error);
    if (!(link.flags & IFF_UP))
        return fail(error, "The interface " + inQuotes(request.name) + " is disabled.");
    if (request.source == Source::Static)
        return applyStaticAddress(link, request, environment, error);
    return applyDhcpAddress(link, environment, error);
}

} // namespace netsh
