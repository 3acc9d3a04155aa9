// Small text helpers shared by netsh's parts.
#pragma once

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace netsh {

inline std::string lower(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The text with each control character (a newline in a value) written as
// \xNN, so that a message stays one line.
inline std::string printable(const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    std::string quoted;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            quoted += std::string("\\x") + hex[u >> 4] + hex[u & 15];
        else
            quoted += c;
    }
    return quoted;
}

// Sets *error and returns false, so that a check can end with `return fail(...)`.
// The reason is one line whatever was typed.
inline bool fail(std::string *error, const std::string &text)
{
    *error = printable(text);
    return false;
}

inline std::string inQuotes(const std::string &text)
{
    return "'" + printable(text) + "'";
}

// The blank-separated words of a text.
inline std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> result;
    std::string word;
    while (in >> word)
        result.push_back(word);
    return result;
}

} // namespace netsh
