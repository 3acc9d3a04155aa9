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

ino_t netNamespaceOf(const std::string &pid)
{
    struct stat st;
    return ::stat(("/proc/" + pid + "/ns/net").c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace procfs
