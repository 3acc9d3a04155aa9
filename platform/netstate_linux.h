// What the network shell stand-in set on an interface, kept per network
// namespace where the IP Helper and SetupAPI stand-ins find it.
//
// The folder is /run/vantorel/net-<inode of /proc/self/ns/net>/ (the root
// /run/vantorel moves with VANTOREL_STATE_DIR). In it, for each interface:
//   <ifname>.state   written by netsh and by the SetupAPI stand-in (key=value lines)
//   <ifname>.lease   written by the DHCP client's hook (dns=..., server=...)
// and the folders dhcpcd/run and dhcpcd/lib, which the DHCP client started by
// netsh sees as /run/dhcpcd and /var/lib/dhcpcd, so that clients of two
// namespaces never share a pid file, control socket or lease.
#pragma once

#include <set>
#include <string>

namespace netstate {

std::string namespaceDir();         // created on demand
std::string namespaceFolder();      // the same folder, whether or not it exists

struct InterfaceState {
    int ifindex = 0;                // a record written for another index is stale and ignored
    std::string method;             // "static", "dhcp", or empty: never set through netsh
    std::string dnsSource;          // "static", "dhcp", or empty
    std::string staticDns;          // the server set with source=static
    int clientPid = 0;              // the DHCP client netsh started, 0 for none
    // Saved by DICS_STOP and restored by DICS_START: "a.b.c.d/nn" and "gw metric" lists.
    std::string savedAddresses;
    std::string savedRoutes;
};

struct Lease {
    std::string dns;                // blank-separated servers the DHCP server gave
    std::string server;             // the DHCP server's address
};

// False (and a default state with the given index) when there is no record or
// the record belongs to an earlier interface of the same name.
bool load(const std::string &ifname, int ifindex, InterfaceState *state);
bool save(const std::string &ifname, const InterfaceState &state);
void forget(const std::string &ifname);

bool loadLease(const std::string &ifname, Lease *lease);
// The interfaces that have a record or a lease in the namespace's folder, by
// name: one look at the folder instead of a try per interface.
std::set<std::string> recordedInterfaces(const std::string &folder = namespaceFolder());
void forgetLease(const std::string &ifname);

} // namespace netstate
