// The command interpreter stand-in: `cmd.exe /c COMMAND` splits COMMAND as a
// Windows program would see its command line, runs the program it names
// directly (never through a shell, so no character of the text can run
// anything else) and ends with the program's exit code.
#include "cmdline.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int fail(const std::string &message)
{
    std::cerr << message << std::endl;
    return 1;
}

// Runs the program and waits for it; its exit code, or 128 + the signal that
// ended it. The interpreter keeps waiting if a signal interrupts the wait.
int runAndWait(const std::string &program, const std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (const std::string &word : words)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const std::string cannotRun = "'" + words.front() + "' could not be run: ";

    const pid_t pid = ::fork();
    if (pid < 0)
        return fail(cannotRun + std::strerror(errno));
    if (pid == 0) {
        ::execv(program.c_str(), argv.data());
        const std::string message = cannotRun + std::strerror(errno) + "\n";
        (void)!::write(STDERR_FILENO, message.data(), message.size());
        ::_exit(1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return fail(cannotRun + std::strerror(errno));
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char *argv[])
{
    cmdline::Invocation invocation;
    std::string error;
    if (!cmdline::parseInvocation(std::vector<std::string>(argv + 1, argv + argc), &invocation, &error))
        return fail(error);

    // The folder this program lives in, where its fellow programs (netsh) are.
    std::error_code ignored;
    const std::string ownDir = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string();
    const char *pathVariable = std::getenv("PATH");
    const std::string path = pathVariable ? pathVariable : "";
    const auto isProgram = [&](const std::string &word) {
        return !cmdline::findProgram(word, ownDir, path).empty();
    };

    const std::string command = cmdline::applyQuoteRule(invocation.command, invocation.stripQuotes, isProgram);
    const std::vector<std::string> words = cmdline::splitCommandLine(command);
    if (words.empty())
        return 0;
    const std::string program = cmdline::findProgram(words.front(), ownDir, path);
    if (program.empty()) {
        return fail("'" + words.front()
                    + "' is not recognized as an internal or external command, operable program or batch file.");
    }
    // A Windows program may read its command line unsplit (GetCommandLineW);
    // ours find it here.
    ::setenv("VANTOREL_COMMAND_LINE", command.c_str(), 1);
    return runAndWait(program, words);
}
