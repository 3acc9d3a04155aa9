// Interfaces that something other than netsh manages: NetworkManager's are
// changed through NetworkManager, any other owner's are refused.
#pragma once

#include "netsh.h"
#include "kernel/rtnl.h"

#include <string>

namespace netsh {

// True when NetworkManager manages the interface, or when whether it does
// can't be told (a system bus that does not answer): then the request went
// through NetworkManager, or was refused before anything was touched, and
// *done says whether it succeeded (*error why not). False: netsh does the work.
bool changeThroughNetworkManager(const rtnl::Link &link, const Request &request, bool *done, std::string *error);

// Empty when nobody but netsh serves the interface; else one line refusing
// the change, naming the DHCP client netsh did not start, or systemd-networkd.
std::string foreignOwner(const rtnl::Link &link);

} // namespace netsh
