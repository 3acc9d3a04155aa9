#include "cmdline.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>
#include <unistd.h>

namespace cmdline {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

bool endsWithExe(const std::string &word)
{
    return word.size() > 4 && upper(word.substr(word.size() - 4)) == ".EXE";
}

bool isExecutableFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The word as given first, then its twin with or without ".exe".
std::vector<std::string> spellings(const std::string &word)
{
    if (endsWithExe(word))
        return {word, word.substr(0, word.size() - 4)};
    return {word, word + ".exe"};
}

std::string firstExecutable(const std::string &dir, const std::string &word)
{
    for (const std::string &name : spellings(word)) {
        const std::string candidate = dir.empty() ? name : dir + "/" + name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::string();
}

} // namespace

bool parseInvocation(const std::vector<std::string> &arguments, Invocation *invocation,
                     std::string *error)
{
    *invocation = Invocation();
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        const std::string option = upper(*it);
        if (option == "/C") {
            std::string command;
            for (auto word = it + 1; word != arguments.end(); ++word)
                command += (command.empty() ? "" : " ") + *word;
            invocation->command = command;
            return true;
        }
        if (option == "/S") {
            invocation->stripQuotes = true;
        } else if (option == "/Q" || option == "/D") {
            // Echo and AutoRun do not exist here; accepted for the callers' sake.
        } else {
            *error = "Invalid switch - \"" + *it + "\". Usage: cmd.exe [/S] [/Q] [/D] /C command";
            return false;
        }
    }
    *error = "No command given. Usage: cmd.exe [/S] [/Q] [/D] /C command";
    return false;
}

std::string applyQuoteRule(const std::string &command, bool stripQuotes,
                           const std::function<bool(const std::string &)> &isProgram)
{
    const std::string::size_type first = command.find_first_not_of(" \t");
    if (first == std::string::npos || command[first] != '"')
        return command;
    const std::string::size_type last = command.rfind('"');
    if (last == first)
        return command.substr(first + 1);
    const std::string inner = command.substr(first + 1, last - first - 1);
    const bool twoQuotes = std::count(command.begin(), command.end(), '"') == 2;
    if (!stripQuotes && twoQuotes && inner.find_first_of("&<>()@^|") == std::string::npos
        && inner.find_first_of(" \t") != std::string::npos && isProgram(inner))
        return command;
    return inner + command.substr(last + 1);
}

std::vector<std::string> splitCommandLine(const std::string &line)
{
    std::vector<std::string> words;
    const std::string::size_type n = line.size();
    std::string::size_type i = 0;
    while (i < n && isBlank(line[i]))
        ++i;
    if (i == n)
        return words;

    // The program's name: a path, so backslashes are only separators.
    std::string word;
    if (line[i] == '"') {
        for (++i; i < n && line[i] != '"'; ++i)
            word += line[i];
        if (i < n)
            ++i;
    } else {
        for (; i < n && !isBlank(line[i]); ++i)
            word += line[i];
    }
    words.push_back(word);

    for (;;) {
        while (i < n && isBlank(line[i]))
            ++i;
        if (i == n)
            break;
        word.clear();
        bool quoted = false;
        while (i < n && (quoted || !isBlank(line[i]))) {
            if (line[i] == '\\') {
                std::string::size_type count = 0;
                for (; i < n && line[i] == '\\'; ++i)
                    ++count;
                if (i < n && line[i] == '"') {
                    word.append(count / 2, '\\');
                    if (count % 2) {
                        word += '"';
                        ++i;
                    }
                    // After an even count the quote groups; the next round sees it.
                } else {
                    word.append(count, '\\');
                }
            } else if (line[i] == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    word += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                word += line[i++];
            }
        }
        words.push_back(word);
    }
    return words;
}

std::string findProgram(const std::string &word, const std::string &ownDir,
                        const std::string &path)
{
    if (word.empty())
        return std::string();
    if (word.find('/') != std::string::npos)
        return firstExecutable(std::string(), word);
    if (!ownDir.empty()) {
        const std::string found = firstExecutable(ownDir, word);
        if (!found.empty())
            return found;
    }
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty()) {
            const std::string found = firstExecutable(dir, word);
            if (!found.empty())
                return found;
        }
        start = end + 1;
    }
    return std::string();
}

} // namespace cmdline
