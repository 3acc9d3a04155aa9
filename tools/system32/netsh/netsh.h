// The network shell stand-in: the four `interface ip set address|dns`
// commands that set an interface's IPv4 address, default gateway and DNS
// server, statically or through DHCP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace netsh {

enum class Setting { Address, Dns };
enum class Source { Static, Dhcp };

struct Request {
    Setting setting = Setting::Address;
    Source source = Source::Static;
    std::string name;               // name=, the interface
    uint32_t address = 0;           // addr=, network byte order
    int prefix = 0;                 // mask=, as a prefix length
    uint32_t gateway = 0;           // gateway=, 0 for none
    uint32_t metric = 0;            // gwmetric=
};

// Reads the words after the program's name, keywords and their values in any
// letter case, and checks every value on its own. `line` is the unsplit
// command line the words come from, or empty: a quote in an interface name
// (Linux allows it) survives only there. False with a one-line reason in
// *error.
bool parse(const std::vector<std::string> &words, const std::string &line, Request *request, std::string *error);

struct Environment {
    std::string system32;           // the folder of netsh and the DHCP client's hook
};

// Checks the request against the interface, then carries it out. On failure
// the interface, the records and the DHCP client are as they were, and *error
// says why in one line.
bool apply(const Request &request, const Environment &environment, std::string *error);

} // namespace netsh
