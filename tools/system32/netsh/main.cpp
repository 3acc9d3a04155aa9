// The network shell stand-in: `netsh interface ip set address|dns ...`.
// Success prints nothing and exits 0; a command that can't be carried out
// prints one line saying why, exits 1 and leaves the interface as it was.
#include "netsh.h"

#include "cmdline.h"
#include "kernel/procfs.h"

#include <algorithm>
#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace {

int fail(const std::string &message)
{
    std::cerr << message << std::endl;
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Records others may read, never write, whatever mask the caller had.
    ::umask(022);
    const std::vector<std::string> words(argv + 1, argv + argc);
    // The command line as cmd.exe had it, when it is the one these words come from.
    std::string line;
    if (const char *given = std::getenv("VANTOREL_COMMAND_LINE")) {
        const std::vector<std::string> split = cmdline::splitCommandLine(given);
        if (!split.empty() && std::equal(split.begin() + 1, split.end(), words.begin(), words.end()))
            line = given;
        ::unsetenv("VANTOREL_COMMAND_LINE");
    }
    netsh::Request request;
    std::string error;
    if (!netsh::parse(words, line, &request, &error))
        return fail(error);
    netsh::Environment environment;
    // The folder of this program holds the DHCP client's hook as well.
    environment.system32 = std::filesystem::path(procfs::ownProgram()).parent_path().string();
    if (!netsh::apply(request, environment, &error))
        return fail(error);
    return 0;
}
