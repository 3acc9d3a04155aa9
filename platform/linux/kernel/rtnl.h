// The kernel's IPv4 configuration of the current network namespace, read
// (reading.cpp) and changed (rtnl.cpp) over rtnetlink. Shared by the IP Helper
// and SetupAPI stand-ins and by the network shell stand-in.
#pragma once

#include "kernel/error.h"
#include "kernel/objects.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rtnl {

using sys::Error;

// Every interface with its addresses and default routes, by index: one
// reading of the calling thread's namespace. Empty, with the reason in
// *error, when the kernel could not be asked.
std::vector<Interface> read(Error *error);

// Every interface, by index.
std::vector<Link> links(Error *error = nullptr);
bool linkByName(const std::string &name, Link *link, Error *error = nullptr);
bool linkByIndex(int index, Link *link, Error *error = nullptr);

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
