#include "process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace netsh {

namespace {

// The signal mask netsh was started with; children get it back.
sigset_t startMask;

} // namespace

SignalsHeld::SignalsHeld()
{
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&held, signal);
    sigprocmask(SIG_BLOCK, &held, &startMask);
}

SignalsHeld::~SignalsHeld()
{
    sigprocmask(SIG_SETMASK, &startMask, nullptr);
}



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

// A process's network namespace, as the inode nsfs gives it (0: unreadable).
ino_t netNamespaceOf(const std::string &pid)
{
    struct stat st;
    return ::stat(("/proc/" + pid + "/ns/net").c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace netsh
