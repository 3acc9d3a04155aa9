#include "kernel/processes.h"

#include "kernel/procfs.h"

#include <dirent.h>
#include <sstream>

namespace processes {

namespace {

std::string folderOf(int pid)
{
    return "/proc/" + std::to_string(pid);
}

} // namespace

std::vector<int> all()
{
    std::vector<int> pids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    while (const dirent *entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (!name.empty() && name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos)
            pids.push_back(std::stoi(name));
    }
    ::closedir(proc);
    return pids;
}

std::string nameOf(int pid)
{
    std::string comm = procfs::readFile(folderOf(pid) + "/comm");
    if (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return comm;
}

bool read(int pid, Process *process)
{
    *process = Process();
    process->comm = nameOf(pid);
    // The name may hold blanks and parentheses: the fields start after the last ')'.
    const std::string stat = procfs::readFile(folderOf(pid) + "/stat");
    const std::string::size_type end = stat.rfind(')');
    if (process->comm.empty() || end == std::string::npos || stat.compare(end, 3, ") Z") == 0)
        return false;
    std::istringstream fields(stat.substr(end + 2));
    std::string state;
    fields >> state >> process->ppid;
    std::istringstream cmdline(procfs::readFile(folderOf(pid) + "/cmdline"));
    for (std::string word; std::getline(cmdline, word, '\0');)
        process->argv.push_back(word);
    process->pid = pid;
    return true;
}

bool mountedHere(const std::string &path)
{
    std::istringstream in(procfs::readFile("/proc/self/mountinfo"));
    for (std::string line; std::getline(in, line);) {
        // The fifth field is the mount point.
        std::istringstream fields(line);
        std::string field;
        int n = 0;
        while (n < 5 && fields >> field)
            ++n;
        if (n == 5 && field == path)
            return true;
    }
    return false;
}

} // namespace processes
