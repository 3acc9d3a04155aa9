// The network shell stand-in: `netsh interface ip set address|dns ...`.
// Success prints nothing and exits 0; a command that can't be carried out
// prints one line saying why, exits 1 and leaves the interface as it was.
#include "netsh.h"

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
    netsh::Request request;
    std::string error;
    if (!netsh::parse(std::vector<std::string>(argv + 1, argv + argc), &request, &error))
        return fail(error);
    netsh::Environment environment;
    // The folder of this program holds the DHCP client's hook as well.
    std::error_code ignored;
    environment.system32 = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string();
    if (!netsh::apply(request, environment, &error))
        return fail(error);
    return 0;
}
