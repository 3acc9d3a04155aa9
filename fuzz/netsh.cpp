// A command line as cmd.exe hands it to netsh: split as Windows splits it,
// then read by netsh. A refusal must say why in one line.
#include "cmdline.h"
#include "netsh.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string line(reinterpret_cast<const char *>(data), size);
    const std::string commandLine = "netsh " + line;
    std::vector<std::string> words = cmdline::splitCommandLine(commandLine);
    words.erase(words.begin());
    netsh::Request request;
    std::string error;
    if (!netsh::parse(words, commandLine, &request, &error) && (error.empty() || error.find('\n') != std::string::npos))
        __builtin_trap();
    return 0;
}
