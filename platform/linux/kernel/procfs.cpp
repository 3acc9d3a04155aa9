#include "kernel/procfs.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace procfs {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string ownProgram()
{
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).string();
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

namespace {

std::string promotePath(const std::string &ifname)
{
    return "/proc/sys/net/ipv4/conf/" + ifname + "/promote_secondaries";
}

} // namespace

std::string promoteSecondaries(const std::string &ifname)
{
    char value = 0;
    const int fd = ::open(promotePath(ifname).c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::read(fd, &value, 1) == 1;
    if (fd >= 0)
        ::close(fd);
    return ok && (value == '0' || value == '1') ? std::string(1, value) : std::string();
}

bool setPromoteSecondaries(const std::string &ifname, const std::string &value)
{
    const int fd = ::open(promotePath(ifname).c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, value.data(), value.size()) == ssize_t(value.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace procfs
