#include "procfs_linux.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace procfs {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

namespace {

ino_t namespaceOf(const std::string &pid, const char *kind)
{
    struct stat st;
    return ::stat(("/proc/" + pid + "/ns/" + kind).c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

ino_t netNamespaceOf(const std::string &pid)
{
    return namespaceOf(pid, "net");
}

ino_t mountNamespaceOf(const std::string &pid)
{
    return namespaceOf(pid, "mnt");
}

} // namespace procfs
