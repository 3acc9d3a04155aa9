#include "dhcpclient.h"

#include "process.h"

#include "kernel/netns.h"
#include "kernel/processes.h"
#include "records/records.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace netsh {

namespace {

// How long the client may take to start, in ms.
const int clientStartTime = 5000;

bool sameNetworkNamespace(int pid)
{
    return netns::same(netns::of("self"), netns::of(std::to_string(pid)));
}

} // namespace

// A recorded pid that has been reused by another program, or by another
// namespace's client, is not a running client.
bool isRunningClient(int pid)
{
    if (pid <= 0)
        return false;
    processes::Process process;
    return processes::nameOf(pid) == "dhcpcd" && processes::read(pid, &process) && sameNetworkNamespace(pid);
}

namespace {

// Every process of this network namespace in the mount namespace: a client
// netsh started there and all its helpers, orphaned or not. Never netsh's own
// mount namespace or init's, whatever a record or journal says.
std::vector<int> membersOf(ino_t mounts)
{
    std::vector<int> members;
    if (!mounts || mounts == mountNamespaceOf("self") || mounts == mountNamespaceOf("1"))
        return members;
    const netns::Id network = netns::of("self");
    for (const int pid : processes::all()) {
        if (mountNamespaceOf(std::to_string(pid)) == mounts && netns::same(netns::of(std::to_string(pid)), network))
            members.push_back(pid);
    }
    return members;
}

bool goneWithin(int pid, ino_t mounts, int milliseconds)
{
    for (int waited = 0; isRunningClient(pid) || !membersOf(mounts).empty(); waited += 10) {
        if (waited >= milliseconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string runDir()
{
    return records::namespaceDir() + "/dhcpcd/run";
}

std::string pidFileOf(const std::string &ifname)
{
    return runDir() + "/" + ifname + "-4.pid";
}

// The pid the client wrote, 0 when there is none yet.
int pidInFile(const std::string &path)
{
    std::ifstream in(path);
    int recorded = 0;
    return in >> recorded ? recorded : 0;
}

} // namespace

sys::Error stopClient(int pid, ino_t mounts)
{
    if (!mounts && isRunningClient(pid))
        mounts = mountNamespaceOf(std::to_string(pid));
    // Started with -p, the client leaves the interface as it is when it ends;
    // its helpers end after it. Without a client, nothing ends them but a kill.
    if (isRunningClient(pid)) {
        ::kill(pid, SIGTERM);
        if (goneWithin(pid, mounts, 5000))
            return sys::Error();
        ::kill(pid, SIGKILL);
    }
    stopStarted(mounts);
    if (goneWithin(pid, mounts, 0))
        return sys::Error();
    return "The DHCP client (process " + std::to_string(pid) + ") does not end.";
}

// dhcpcd keeps its pid file and control socket in /run/dhcpcd and its leases
// in /var/lib/dhcpcd, named after the interface. Every network namespace may
// have an interface of that name, so the client runs in a mount namespace of
// its own that sees this namespace's folders there.
int clientOf(const std::string &ifname)
{
    const int pid = pidInFile(pidFileOf(ifname));
    return isRunningClient(pid) ? pid : 0;
}

void stopStarted(ino_t mounts)
{
    for (int waited = 0; waited < 2000; waited += 10) {
        const std::vector<int> members = membersOf(mounts);
        if (members.empty())
            return;
        for (const int pid : members)
            ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

sys::Error startClient(const std::string &ifname, const Environment &environment, int *pid, ino_t *clientMounts,
                       const std::function<bool(ino_t)> &started)
{
    std::string unsafe;
    const std::string dir = records::namespaceDir(&unsafe);
    if (dir.empty())
        return unsafe;
    const std::string libDir = dir + "/dhcpcd/lib";
    if (!makeDirs(runDir()) || !makeDirs(libDir))
        return "The DHCP client's folders can't be made in " + dir + ".";
    const std::string pidFile = pidFileOf(ifname);
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
        // Whether the resolver it may change is the machine's, as netsh sees it.
        "-e", std::string("VANTOREL_MACHINE_NAMESPACE=") + (netns::isMachines() ? "yes" : "no"),
        "-o", "domain_name_servers",
        // An interface may be called "-c..." too: it must not be read as an option.
        "--", ifname};
    const auto ownMounts = [&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0)
            return std::string("unshare: ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("mount: ") + std::strerror(errno);
        for (const auto &bind : {std::make_pair(runDir(), std::string("/run/dhcpcd")),
                                 std::make_pair(libDir, std::string("/var/lib/dhcpcd"))}) {
            if (!makeDirs(bind.second) || ::mount(bind.first.c_str(), bind.second.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return bind.second + ": " + std::strerror(errno);
        }
        return std::string();
    };
    std::string output;
    ino_t mounts = 0;
    const auto noteMounts = [&](pid_t child) {
        mounts = mountNamespaceOf(std::to_string(child));
        return mounts && mounts != mountNamespaceOf("self") && (!started || started(mounts));
    };
    // With -b the client goes to the background at once; one that does not
    // is not waited for long.
    const int code = spawn(program, arguments, ownMounts, &output, clientStartTime, noteMounts);
    if (code != 0) {
        stopClient(pidInFile(pidFile), mounts);
        const std::string why = lastLine(output);
        return interruption() ? interruptionText()
                              : "The DHCP client could not be started: " + (why.empty() ? "exit code " + std::to_string(code) + "." : why);
    }
    // The daemon writes its pid file as it starts.
    for (int waited = 0; waited < clientStartTime && !interruption(); waited += 10) {
        if (isRunningClient(*pid = pidInFile(pidFile))) {
            *clientMounts = mounts;
            return sys::Error();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopClient(pidInFile(pidFile), mounts);
    *pid = 0;
    const std::string why = lastLine(output);
    return interruption() ? interruptionText() : "The DHCP client did not keep running" + (why.empty() ? std::string(".") : ": " + why);
}

} // namespace netsh
