// The kernel's IPv4 configuration of the current network namespace, read and
// changed over rtnetlink (libnl-route-3). Shared by the IP Helper and SetupAPI
// stand-ins and by the network shell stand-in.
#pragma once

#include "kernel/error.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rtnl {

using sys::Error;

struct Link {
    int index = 0;
    std::string name;
    std::vector<uint8_t> address;   // link-layer address
    unsigned arptype = 0;           // ARPHRD_*
    unsigned flags = 0;             // IFF_*
    std::string kind;               // IFLA_INFO_KIND ("veth", "dummy", ...), empty for hardware
    bool wireless = false;          // the device has a wireless extension or phy80211
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

// Every interface, in the kernel's order (by index).
std::vector<Link> links(Error *error = nullptr);
bool linkByName(const std::string &name, Link *link, Error *error = nullptr);
bool linkByIndex(int index, Link *link, Error *error = nullptr);
// /sys/class/net/<name> when sysfs shows this interface, else empty: sysfs shows
// the interfaces of the network namespace that mounted it, which need not be ours.
std::string sysfsDir(const Link &link);

// The interface's IPv4 addresses, primary addresses first, in the kernel's order.
std::vector<Address4> addresses(int ifindex, Error *error = nullptr);
// The default routes (0.0.0.0/0, main table) through the interface, lowest metric first.
std::vector<Route4> defaultRoutes(int ifindex, Error *error = nullptr);

// Adds the address, or makes an address the interface has already (with a
// lifetime, say) permanent in place.
Error addAddress(int ifindex, const Address4 &address);
Error deleteAddress(int ifindex, const Address4 &address);
// Adds the route after any of the same metric: a default route of another
// interface with the same metric stays (a replacement would take the first
// route of that metric, whichever interface it leaves through).
Error addDefaultRoute(int ifindex, const Route4 &route);
Error deleteDefaultRoute(int ifindex, const Route4 &route);

Error setLinkUp(int ifindex, bool up);
Error setLinkAddress(int ifindex, const std::vector<uint8_t> &address);

// Dotted quad <-> network byte order; prefix <-> mask.
std::string toText(uint32_t address);
std::string toText(const Address4 &address);   // "a.b.c.d/nn"
bool fromText(const std::string &text, uint32_t *address);
uint32_t prefixToMask(int prefix);
int maskToPrefix(uint32_t mask);   // -1 when the mask is not contiguous

} // namespace rtnl
