// What the network shell stand-in set on an interface, kept per network
// namespace where the IP Helper and SetupAPI stand-ins find it.
//
// The folder is /run/vantorel/net-c<namespace cookie>/ (the root /run/vantorel
// moves with VANTOREL_STATE_DIR). The kernel never hands a cookie out twice
// while it runs, unlike namespace inodes; a kernel without cookies (before
// Linux 5.14) gets net-<inode>. In the folder, for each interface:
//   <ifname>.state   written by netsh and by the SetupAPI stand-in (key=value lines)
//   <ifname>.lease   written by the DHCP client's hook (dns=..., server=...)
// and the folders dhcpcd/run and dhcpcd/lib, which the DHCP client started by
// netsh sees as /run/dhcpcd and /var/lib/dhcpcd, so that clients of two
// namespaces never share a pid file, control socket or lease.
//
// A record belongs to one interface: it carries the interface's identity and
// is never read for another interface that took the same name or index.
#pragma once

#include "kernel/rtnl.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace records {

// The folder of the current network namespace that the caller writes in,
// created on demand; for a user other than root (unless VANTOREL_STATE_DIR is
// set) the one under $XDG_RUNTIME_DIR/vantorel, with its own class key. Empty,
// with the reason in *error, when it is not safe to write in: not a directory,
// a symbolic link, not owned by the caller or writable by others.
std::string namespaceDir(std::string *error = nullptr);

// What tells this interface from any other that has held or will hold its name
// and index: index, kind and permanent address, or, where the kernel knows no
// permanent address, the link-layer address it has now.
std::string identityOf(const rtnl::Link &link);
// The same folder, whether or not it exists.
std::string namespaceFolder();

struct InterfaceState {
    std::string method;             // "static", "dhcp", or empty: never set through netsh
    std::string addresses;          // for "static": the "a.b.c.d/nn" list netsh set
    std::string dnsSource;          // "static", "dhcp", or empty
    std::string staticDns;          // the server set with source=static
    int clientPid = 0;              // the DHCP client netsh started, 0 for none
    uint64_t clientMounts = 0;      // the mount namespace it and its helpers run in
    // Saved by DICS_STOP and restored by DICS_START: "a.b.c.d/nn" and "gw metric" lists.
    std::string savedAddresses;
    std::string savedRoutes;
};

struct Lease {
    std::string dns;                // blank-separated servers the DHCP server gave
    std::string server;             // the DHCP server's address
};

// True when the interface has a record of its own; false (and a default state)
// when it has none or the record belongs to an earlier interface of the name.
// A record that can't be read (not a regular file, too large, damaged) also
// gives false, with the reason in *error; nothing replaces it.
bool load(const rtnl::Link &link, InterfaceState *state, std::string *error = nullptr);
// Writes the record; false with the reason in *error. Something other than a
// regular file in the way is refused, not replaced; a damaged record is found
// by load, which every writer calls first.
bool save(const rtnl::Link &link, const InterfaceState &state, std::string *error = nullptr);
void forget(const rtnl::Link &link);

// "a.b.c.d/nn,..." as InterfaceState keeps addresses.
std::string addressesText(const std::vector<rtnl::Address4> &addresses);

// Whether the record still describes the interface as the kernel has it now: a
// static record holds while the interface has exactly the addresses netsh set,
// a DHCP record while every address is one with a lifetime, as a client leaves
// it, or a link-local one it took for want of a server. A record that no
// longer holds was overtaken by a change made elsewhere.
bool holds(const InterfaceState &state, const std::vector<rtnl::Address4> &present);

// The lease the DHCP client recorded; only while the interface's own record
// says it is on DHCP.
bool loadLease(const rtnl::Link &link, Lease *lease, std::string *error = nullptr);
void forgetLease(const rtnl::Link &link);

// The parsers behind load and loadLease, apart from the files: "key=value"
// lines; false with the reason for text that is no record.
bool parseRecord(const std::string &text, std::string *identity, InterfaceState *state, std::string *error);
bool parseLease(const std::string &text, Lease *lease, std::string *error);

// The interfaces that have a record or a lease in the namespace's folder, by
// name: one look at the folder instead of a try per interface.
std::set<std::string> recordedInterfaces(const std::string &folder = namespaceFolder());

} // namespace records
