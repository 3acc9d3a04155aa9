// Undo: what an interface had before a change, and putting it back.
#pragma once

#include "configure.h"
#include "netsh.h"
#include "netstate_linux.h"

#include <string>

namespace netsh {

struct Snapshot {
    Config config;
    netstate::InterfaceState state;
    bool clientRunning = false;
};

bool takeSnapshot(const rtnl::Link &link, Snapshot *snapshot, std::string *error);
// Puts back the addresses, routes, record and DHCP client of the snapshot.
void rollBack(const rtnl::Link &link, const Snapshot &before, const Environment &environment);
// Ends a change: on failure everything goes back to the snapshot.
bool finish(const rtnl::Link &link, const Snapshot &before, const Environment &environment,
            const rtnl::Error &failure, std::string *error);
std::string recordError(const std::string &ifname);

} // namespace netsh
