// The kernel's rtnetlink messages of links, IPv4 addresses and IPv4 routes,
// read into our own types. Apart from any socket, so that recorded bytes can
// be fed to it.
#pragma once

#include "kernel/objects.h"

#include <cstdint>
#include <utility>
#include <vector>

struct nlmsghdr;

namespace rtnl::parse {

// An RTM_NEWLINK message; false when it is none or is malformed.
bool link(const nlmsghdr *message, Link *link);
// An RTM_NEWADDR message of an IPv4 address, with the index of its interface.
bool address(const nlmsghdr *message, int *ifindex, Address4 *address);

struct Route {
    uint32_t table = 0;             // RTA_TABLE where given, else rtm_table
    unsigned type = 0;              // RTN_*
    unsigned protocol = 0;          // RTPROT_*
    unsigned flags = 0;             // RTM_F_*, RTNH_F_*
    int destinationLength = 0;
    uint32_t metric = 0;            // RTA_PRIORITY
    // Each interface one of its hops leaves through (RTA_OIF, or the hops of
    // RTA_MULTIPATH), once, with that hop's gateway in network byte order.
    std::vector<std::pair<int, uint32_t>> hops;

    // 0.0.0.0/0 in the main table, unicast.
    bool isDefault() const;
    // The default route through the interface as Route4; false for another route.
    bool defaultThrough(int ifindex, Route4 *route) const;
};
// An RTM_NEWROUTE message of an IPv4 route.
bool route(const nlmsghdr *message, Route *route);

} // namespace rtnl::parse
