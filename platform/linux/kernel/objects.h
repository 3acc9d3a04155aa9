// What the kernel room reads of the kernel: links, IPv4 addresses and
// default routes, in our own types.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rtnl {

struct Link {
    int index = 0;
    std::string name;
    std::vector<uint8_t> address;   // link-layer address
    std::vector<uint8_t> permanent; // IFLA_PERM_ADDRESS; empty where the kernel knows none
    unsigned arptype = 0;           // ARPHRD_*
    unsigned flags = 0;             // IFF_*
    std::string kind;               // IFLA_INFO_KIND ("veth", "dummy", ...), empty for hardware
};

struct Address4 {
    uint32_t address = 0;           // network byte order
    int prefix = 0;
    bool permanent = true;          // false for an address with a lifetime, as a DHCP client leaves it
    bool secondary = false;
};

struct Route4 {
    uint32_t gateway = 0;           // network byte order
    uint32_t metric = 0;
    unsigned protocol = 0;          // RTPROT_*, who added it; 0: any, when deleting
};

// The same address or route as the kernel tells them apart (flags and
// lifetimes aside).
inline bool sameAddress(const Address4 &a, const Address4 &b)
{
    return a.address == b.address && a.prefix == b.prefix;
}
inline bool sameRoute(const Route4 &a, const Route4 &b)
{
    return a.gateway == b.gateway && a.metric == b.metric;
}

struct Interface {
    Link link;
    std::vector<Address4> addresses;    // primary addresses first, in the kernel's order
    std::vector<Route4> defaultRoutes;  // through this interface, lowest metric first
};

} // namespace rtnl
