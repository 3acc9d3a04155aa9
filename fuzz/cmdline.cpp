// The first byte picks the switches' reading or the command line's; the rest
// is the text, its NUL bytes separating the interpreter's arguments.
#include "cmdline.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1) {
        std::vector<std::string> arguments;
        size_t start = 0;
        for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
            arguments.push_back(text.substr(start, end - start));
        arguments.push_back(text.substr(start));
        cmdline::Invocation invocation;
        std::string error;
        if (!cmdline::parseInvocation(arguments, &invocation, &error))
            return 0;
    }
    // Any text names a program when its length is odd: both answers get tried.
    const std::string command = cmdline::applyQuoteRule(text, data[0] & 2, [](const std::string &word) {
        return word.size() % 2 == 1;
    });
    const std::vector<std::string> words = cmdline::splitCommandLine(command);
    if (command.find_first_not_of(" \t") != std::string::npos && words.empty())
        __builtin_trap();   // a command with something in it has a program word
    return 0;
}
