// Processes as /proc shows them: who runs, under which parent, in which
// state, with which command line.
#pragma once

#include <string>
#include <vector>

namespace processes {

struct Process {
    int pid = 0;
    int ppid = 0;
    std::string comm;               // the program's name as the kernel keeps it
    std::vector<std::string> argv;
};

// The pids /proc lists, in its order.
std::vector<int> all();
// The program's name as the kernel keeps it; empty when there is no such process.
std::string nameOf(int pid);
// The live process (a zombie has let go of everything, and counts as gone);
// false when there is none.
bool read(int pid, Process *process);

// Whether something is mounted at `path` in this mount namespace.
bool mountedHere(const std::string &path);

} // namespace processes
