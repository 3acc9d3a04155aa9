#include "dhcpclient.h"

#include "netstate_linux.h"
#include "process.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace netsh {

namespace {

bool sameNetworkNamespace(int pid)
{
    const ino_t own = netNamespaceOf("self");
    return own && own == netNamespaceOf(std::to_string(pid));
}

} // namespace

// A recorded pid that has been reused by another program, or by another
// namespace's client, is not a running client.
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

namespace {

bool waitUntilGone(int pid, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += 50) {
        if (!isRunningClient(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !isRunningClient(pid);
}

} // namespace

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

} // namespace netsh
