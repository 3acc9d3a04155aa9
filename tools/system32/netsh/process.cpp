#include "process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <linux/capability.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace netsh {

namespace {

volatile sig_atomic_t caught = 0;

void note(int signal)
{
    caught = signal;
}

} // namespace

void catchSignals()
{
    struct sigaction action = {};
    action.sa_handler = note;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress returns, and netsh can roll back.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(signal, &action, nullptr);
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGHUP);
    // The parent may have ended just before.
    if (::getppid() != parent)
        caught = SIGHUP;
}

int interruption()
{
    return caught;
}

std::string interruptionText()
{
    return std::string("netsh was interrupted (") + strsignal(caught) + ").";
}

bool administers()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_NET_ADMIN));
}

std::string findExecutable(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string dirs = "/usr/sbin:/usr/bin:/sbin:/bin";
    // A folder on PATH may belong to anyone: root runs what the system installed.
    if (::geteuid() != 0 && path)
        dirs = std::string(path) + ":" + dirs;
    std::istringstream in(dirs);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && dir.front() == '/' && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

namespace {

// Waits until the process has ended, `milliseconds` at most; false when it
// still runs.
bool waitForExit(pid_t pid, int milliseconds)
{
    // Glibc 2.36 declares pidfd_open without C linkage.
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd p = {fd, POLLIN, 0};
    int rc = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        rc = ::poll(&p, 1, int(std::max<long long>(0, left.count())));
        if (rc >= 0 || errno != EINTR || caught)
            break;
    }
    ::close(fd);
    return rc > 0;
}

} // namespace

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

int spawn(const std::string &program, const std::vector<std::string> &arguments,
          const std::function<std::string()> &prepare, std::string *output, int milliseconds,
          const std::function<bool(pid_t)> &started)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    // A memory file, not a pipe: a daemon that keeps it open can't make us wait.
    const int out = ::memfd_create("netsh-child-output", MFD_CLOEXEC);
    // With `started`, the child says here that it is prepared, then waits for
    // a byte before it runs the program; the end of netsh closes the socket,
    // and the child gives up.
    int talk[2] = {-1, -1};
    if (started && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, talk) != 0) {
        *output = std::strerror(errno);
        return -1;
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        *output = std::strerror(errno);
        for (const int fd : {out, talk[0], talk[1]})
            if (fd >= 0)
                ::close(fd);
        return -1;
    }
    if (pid == 0) {
        // A group of its own: what it starts goes with it when it is killed.
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(out >= 0 ? out : null, STDOUT_FILENO);
        ::dup2(out >= 0 ? out : null, STDERR_FILENO);
        std::string failure = prepare ? prepare() : std::string();
        char byte = 1;
        if (failure.empty() && started) {
            ::close(talk[0]);
            byte = ::write(talk[1], &byte, 1) == 1 && ::read(talk[1], &byte, 1) == 1 ? byte : 0;
            if (byte != 1)
                ::_exit(127);
        }
        if (failure.empty()) {
            ::execv(program.c_str(), argv.data());
            failure = program + ": " + std::strerror(errno);
        }
        failure += "\n";
        (void)!::write(STDERR_FILENO, failure.data(), failure.size());
        ::_exit(126);
    }
    ::setpgid(pid, pid);   // whichever of the two runs first
    if (started) {
        ::close(talk[1]);
        char byte = 0;
        while (::read(talk[0], &byte, 1) < 0 && errno == EINTR && !caught) {
        }
        byte = byte == 1 && started(pid) ? 1 : 0;
        // The child may have ended already: no SIGPIPE for that.
        (void)!::send(talk[0], &byte, 1, MSG_NOSIGNAL);
        ::close(talk[0]);
    }
    const bool ended = waitForExit(pid, milliseconds);
    if (!ended)
        ::kill(-pid, SIGKILL);
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
    if (!ended)
        *output += "\n" + program + " did not end within " + std::to_string(milliseconds / 1000) + " s.";
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool makeDirs(const std::string &path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error;
}

} // namespace netsh
