#include "iphlpapi_text.h"
#include "kernel/rtnl.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

namespace iphlpapitext {

namespace {

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string w; in >> w;)
        result.push_back(w);
    return result;
}

bool isIpv4(const std::string &text)
{
    uint32_t ignored;
    return rtnl::fromText(text, &ignored);
}

// "a.b.c.d#server-name" and "a.b.c.d:53" as resolvectl may print them.
std::string withoutDecoration(std::string server)
{
    server = server.substr(0, server.find('#'));
    if (std::count(server.begin(), server.end(), ':') == 1)
        server = server.substr(0, server.find(':'));
    return server;
}

} // namespace

std::vector<std::string> ipv4Words(const std::string &text)
{
    std::vector<std::string> result;
    for (const std::string &w : words(text)) {
        if (isIpv4(w))
            result.push_back(w);
    }
    return result;
}

std::vector<std::string> resolvConfServers(const std::string &content)
{
    std::vector<std::string> result;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        // resolv.conf(5): the keyword starts the line, the address follows it.
        const std::vector<std::string> w = words(line);
        if (line.rfind("nameserver", 0) == 0 && w.size() >= 2 && w[0] == "nameserver"
            && isIpv4(w[1]))
            result.push_back(w[1]);
    }
    return result;
}

std::vector<std::string> resolvectlServers(const std::string &output, const std::string &ifname)
{
    std::vector<std::string> global;
    const std::string linkTag = "(" + ifname + "):";
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::vector<std::string> servers;
        for (const std::string &w : words(line.substr(colon + 1))) {
            const std::string server = withoutDecoration(w);
            if (isIpv4(server))
                servers.push_back(server);
        }
        const std::vector<std::string> head = words(line.substr(0, colon + 1));
        if (head.size() == 3 && head[0] == "Link" && head[2] == linkTag && !servers.empty())
            return servers;
        if (head.size() == 1 && head[0] == "Global:")
            global = servers;
    }
    return global;
}

std::string pciModelName(std::istream &pciIds, unsigned vendor, unsigned device)
{
    // Vendors start a line ("8086  Intel Corporation"), their devices follow
    // after one tab ("\t100e  82540EM ..."), subsystems after two.
    bool inVendor = false;
    for (std::string line; std::getline(pciIds, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] != '\t') {
            if (inVendor)
                return std::string();
            inVendor = line.size() > 6 && std::strtoul(line.substr(0, 4).c_str(), nullptr, 16) == vendor
                && line.compare(4, 2, "  ") == 0;
            continue;
        }
        if (inVendor && line.size() > 7 && line[1] != '\t' && line.compare(5, 2, "  ") == 0
            && std::strtoul(line.substr(1, 4).c_str(), nullptr, 16) == device)
            return line.substr(7);
    }
    return std::string();
}

std::vector<std::string> distinctDescriptions(const std::vector<std::string> &descriptions)
{
    std::map<std::string, int> seen;
    std::vector<std::string> result;
    for (const std::string &d : descriptions) {
        const int n = ++seen[d];
        result.push_back(n == 1 ? d : d + " #" + std::to_string(n));
    }
    return result;
}

} // namespace iphlpapitext
