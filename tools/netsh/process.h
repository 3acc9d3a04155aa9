// Running programs and reading files: the pieces every other part of netsh uses.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace netsh {

// Interrupting netsh between two changes would leave the interface half
// changed: the usual ways of ending a program wait until it is done.
class SignalsHeld
{
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

// The program's path in PATH or the system folders, empty when there is none.
std::string findExecutable(const std::string &name);
// The last line of a program's output that holds more than blanks.
std::string lastLine(const std::string &text);
// Runs a program without a shell and waits for it. `prepare` runs in the child
// before the program and returns the reason when the child can't go on. Its
// exit code (-1 when it did not end normally); its output in *output.
int spawn(const std::string &program, const std::vector<std::string> &arguments,
          const std::function<std::string()> &prepare, std::string *output);
bool makeDirs(const std::string &path);
std::string readFile(const std::string &path);
// A process's network namespace, as the inode nsfs gives it (0: unreadable).
ino_t netNamespaceOf(const std::string &pid);

} // namespace netsh
