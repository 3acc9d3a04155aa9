// Running programs, waiting for processes and reading files: the pieces every
// other part of netsh uses.
#pragma once

#include "kernel/procfs.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace netsh {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT no longer end netsh on the spot: they
// are noted, and the change under way is rolled back. netsh also gets SIGHUP
// when the program that started it ends (a command interpreter killed after
// its time is up), so that no half change outlives it.
void catchSignals();
// The signal that asked netsh to end, 0 while none has.
int interruption();
std::string interruptionText();

// The caller may change the kernel's network configuration: root, or a
// process with CAP_NET_ADMIN.
bool administers();

// The program's path: only the system's own folders when running as root,
// PATH before them otherwise. Empty when there is none.
std::string findExecutable(const std::string &name);
// The last line of a program's output that holds more than blanks.
std::string lastLine(const std::string &text);
// Runs a program without a shell and waits for it, `milliseconds` at most
// (then its process group is killed). `prepare` runs in the child before the
// program and returns the reason when the child can't go on. `started`, when
// given, gets the child's pid once `prepare` is done, before the program runs:
// false there, or netsh ending first, and it never runs. Its exit code, -1
// when it did not end normally in time; its output in *output.
int spawn(const std::string &program, const std::vector<std::string> &arguments,
          const std::function<std::string()> &prepare, std::string *output, int milliseconds,
          const std::function<bool(pid_t)> &started = nullptr);
bool makeDirs(const std::string &path);
using procfs::readFile;
using procfs::mountNamespaceOf;

} // namespace netsh
