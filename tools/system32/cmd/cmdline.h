// The command interpreter's handling of a "/c" command line, as pure functions:
// how the command text is taken from the interpreter's own arguments, cmd's
// rule for a command that starts with a double quote, the Windows splitting of
// a command line into words, and where the program is looked for.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace cmdline {

struct Invocation {
    bool stripQuotes = false;       // /S: a quoted command always loses its outer quotes
    std::string command;            // the text after /C, several words joined by single blanks
};

// Reads the interpreter's arguments (without argv[0]): switches /S, /Q, /D in
// any letter case, then /C and the command, given as one argument or as
// several. False with the reason in *error for anything else.
bool parseInvocation(const std::vector<std::string> &arguments, Invocation *invocation,
                     std::string *error);

// cmd's rule for a command that starts with a double quote (leading blanks
// skipped): the quotes stay when there are exactly two, none of &<>()@^| lies
// between them, some blank does, and the text between them names a program;
// otherwise the first quote and the last quote go and the text after the last
// one stays.
std::string applyQuoteRule(const std::string &command, bool stripQuotes,
                           const std::function<bool(const std::string &)> &isProgram);

// Splits a command line as CommandLineToArgvW does. The first word is the
// program: quotes group it and backslashes are literal there. In later words,
// quotes group and may sit inside a word; 2n backslashes before a quote give n
// backslashes and the quote groups, 2n+1 give n backslashes and a literal
// quote; "" inside a quoted part is a literal quote and the part goes on.
// Backslashes anywhere else are literal. An unclosed quote runs to the end.
std::vector<std::string> splitCommandLine(const std::string &line);

// The program a command's first word names: a word with a slash is a path as
// it is; a bare word is looked for in `ownDir`, then in each folder of `path`
// (colon-separated; empty entries, the current folder, are skipped).
// "name" also finds "name.exe" and "name.exe" also finds "name". Empty when
// nothing executable is found.
std::string findProgram(const std::string &word, const std::string &ownDir,
                        const std::string &path);

} // namespace cmdline
