// The kernel's own messages for an interface's IPv4 addresses and the routes
// through it: putting them back restores every attribute a dump shows (labels,
// broadcast, flags, lifetimes, route protocol, source, metrics).
#pragma once

#include "kernel/rtnl.h"

#include <cstdint>
#include <string>
#include <vector>

namespace verbatim {

using Message = std::vector<uint8_t>;   // one netlink message, header included

struct Copy {
    std::vector<Message> addresses;     // RTM_NEWADDR
    // RTM_NEWROUTE, every table but the local one; the kernel's own routes
    // come and go with the addresses.
    std::vector<Message> routes;
};

sys::Error save(int ifindex, Copy *copy);
// Makes the interface's addresses and routes exactly the saved ones.
sys::Error restore(const rtnl::Link &link, const Copy &copy);

} // namespace verbatim
