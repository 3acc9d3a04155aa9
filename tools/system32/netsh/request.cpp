// Reading the command: the words after `netsh`, checked before anything changes.
#include "netsh.h"

#include "cmdline.h"
#include "kernel/rtnl.h"
#include "text.h"

#include <arpa/inet.h>
#include <map>
#include <set>

namespace netsh {

namespace {

using Parameters = std::map<std::string, std::string>;

uint32_t hostOrder(uint32_t address)
{
    return ntohl(address);
}

// A host's own address: not "this network" (0/8), loopback (127/8), multicast
// or the reserved and broadcast range (224/3).
bool isHostAddress(uint32_t address)
{
    const uint32_t first = hostOrder(address) >> 24;
    return first != 0 && first != 127 && first < 224;
}

// The subnet's own number and its broadcast address are nobody's address;
// /31 and /32 have neither.
bool isSubnetEdge(uint32_t address, int prefix)
{
    if (prefix > 30)
        return false;
    const uint32_t hostPart = hostOrder(address) & ~hostOrder(rtnl::prefixToMask(prefix));
    return hostPart == 0 || hostPart == ~hostOrder(rtnl::prefixToMask(prefix));
}

bool readAddress(const Parameters &given, const std::string &key, uint32_t *address, std::string *error)
{
    const std::string &value = given.at(key);
    if (!rtnl::fromText(value, address))
        return fail(error, "Invalid " + key + " value " + inQuotes(value) + ": an IPv4 address like 192.168.1.10 is expected.");
    return true;
}

bool readStaticAddress(const Parameters &given, Request *request, std::string *error)
{
    uint32_t mask = 0;
    if (!readAddress(given, "addr", &request->address, error) || !readAddress(given, "mask", &mask, error))
        return false;
    request->prefix = rtnl::maskToPrefix(mask);
    if (request->prefix <= 0)
        return fail(error, "Invalid mask value " + inQuotes(given.at("mask")) + ": the mask's ones must be contiguous and at least one.");
    if (!isHostAddress(request->address) || isSubnetEdge(request->address, request->prefix))
        return fail(error, "Invalid addr value " + inQuotes(given.at("addr")) + ": not a host address in a subnet with mask " + given.at("mask") + ".");

    const auto gateway = given.find("gateway");
    if (gateway == given.end() || lower(gateway->second) == "none") {
        if (given.count("gwmetric"))
            return fail(error, "gwmetric is given without a gateway.");
        return true;
    }
    if (!readAddress(given, "gateway", &request->gateway, error))
        return false;
    const uint32_t netmask = rtnl::prefixToMask(request->prefix);
    const std::string subnet = rtnl::toText(request->address & netmask) + "/" + std::to_string(request->prefix);
    // A default route needs a gateway the interface reaches directly.
    if ((request->gateway & netmask) != (request->address & netmask))
        return fail(error, "Invalid gateway value " + inQuotes(gateway->second) + ": it is not in the subnet " + subnet + ".");
    if (!isHostAddress(request->gateway) || isSubnetEdge(request->gateway, request->prefix)
        || request->gateway == request->address)
        return fail(error, "Invalid gateway value " + inQuotes(gateway->second) + ": not another host of the subnet " + subnet + ".");

    const auto metric = given.find("gwmetric");
    if (metric != given.end()) {
        const std::string &text = metric->second;
        if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
            return fail(error, "Invalid gwmetric value " + inQuotes(text) + ": a number from 0 to 9999 is expected.");
        request->metric = uint32_t(std::stoul(text));
    }
    return true;
}

bool readStaticDns(const Parameters &given, Request *request, std::string *error)
{
    if (!readAddress(given, "addr", &request->address, error))
        return false;
    // A resolver on this host (127.0.0.53) is a fine DNS server.
    const uint32_t first = hostOrder(request->address) >> 24;
    if (first == 0 || first >= 224)
        return fail(error, "Invalid addr value " + inQuotes(given.at("addr")) + ": not the address of a DNS server.");
    return true;
}
// The text between name=" and the first quote that a blank or the end
// follows: an interface name has no blanks, so it may hold any other quote.
std::string quotedName(const std::string &line)
{
    const std::string::size_type start = lower(line).find(" name=\"");
    if (start == std::string::npos)
        return std::string();
    const std::string::size_type from = start + 7;
    std::string::size_type end = from;
    while ((end = line.find('"', end)) != std::string::npos && end + 1 < line.size() && line[end + 1] != ' ')
        ++end;
    return end == std::string::npos ? std::string() : line.substr(from, end - from);
}

} // namespace

bool parse(const std::vector<std::string> &arguments, const std::string &line, Request *request, std::string *error)
{
    *request = Request();
    // A quote in the name splits the words wrongly: the line is split again
    // with the name taken out.
    const std::string quoted = quotedName(line);
    std::vector<std::string> words = arguments;
    if (!quoted.empty()) {
        const std::string::size_type at = lower(line).find(" name=\"");
        words = cmdline::splitCommandLine(line.substr(0, at) + " name=*" + line.substr(at + 8 + quoted.size()));
        words.erase(words.begin());
    }
    std::string command;
    for (const std::string &word : words)
        command += (command.empty() ? "" : " ") + word;
    const std::string what = words.size() > 3 ? lower(words[3]) : std::string();
    if (words.size() < 4 || lower(words[0]) != "interface" || (lower(words[1]) != "ip" && lower(words[1]) != "ipv4")
        || lower(words[2]) != "set" || (what != "address" && what != "dns"))
        return fail(error, "The following command was not found: " + printable(command) + ".");
    request->setting = what == "address" ? Setting::Address : Setting::Dns;
    const std::set<std::string> known = request->setting == Setting::Address
        ? std::set<std::string>{"name", "source", "addr", "mask", "gateway", "gwmetric"}
        : std::set<std::string>{"name", "source", "addr", "register"};

    Parameters given;
    for (auto word = words.begin() + 4; word != words.end(); ++word) {
        const std::string::size_type eq = word->find('=');
        if (eq == std::string::npos || eq == 0)
            return fail(error, inQuotes(*word) + " is not a parameter of the form keyword=value.");
        const std::string key = lower(word->substr(0, eq));
        if (!known.count(key))
            return fail(error, inQuotes(key) + " is not a parameter of 'set " + what + "'.");
        if (!given.emplace(key, word->substr(eq + 1)).second)
            return fail(error, "The parameter " + inQuotes(key) + " is given twice.");
    }

    const auto require = [&](const char *key) {
        if (given.count(key) && !given.at(key).empty())
            return true;
        return fail(error, std::string("The parameter '") + key + "' is missing.");
    };
    if (!require("name") || !require("source"))
        return false;
    request->name = quoted.empty() ? given.at("name") : quoted;
    const std::string source = lower(given.at("source"));
    if (source != "static" && source != "dhcp")
        return fail(error, "Invalid source value " + inQuotes(given.at("source")) + ": static or dhcp is expected.");
    request->source = source == "static" ? Source::Static : Source::Dhcp;
    if (given.count("register")) {
        const std::string value = lower(given.at("register"));
        if (value != "none" && value != "primary" && value != "both")
            return fail(error, "Invalid register value " + inQuotes(given.at("register")) + ": none, primary or both is expected.");
    }

    if (request->source == Source::Dhcp) {
        for (const auto &parameter : given) {
            if (parameter.first != "name" && parameter.first != "source" && parameter.first != "register")
                return fail(error, inQuotes(parameter.first) + " can't be given with source=dhcp.");
        }
        return true;
    }
    if (request->setting == Setting::Address)
        return require("addr") && require("mask") && readStaticAddress(given, request, error);
    return require("addr") && readStaticDns(given, request, error);
}

} // namespace netsh
