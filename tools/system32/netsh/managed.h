// Interfaces that something other than netsh manages: NetworkManager's are
// changed through NetworkManager, any other owner's are refused.
#pragma once

#include "netsh.h"
#include "kernel/rtnl.h"

#include <string>

namespace netsh {

// True when the interface has a manager: then the request went through
// NetworkManager, or was refused before anything was touched, and *done says
// whether it succeeded (*error why not). False: nobody manages it.
bool changeThroughManager(const rtnl::Link &link, const Request &request, bool *done, std::string *error);

} // namespace netsh
