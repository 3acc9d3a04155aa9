// Applying a configuration: an interface's IPv4 addresses and default routes.
#pragma once

#include "rtnl_linux.h"

#include <vector>

namespace netsh {

struct Config {
    std::vector<rtnl::Address4> addresses;
    std::vector<rtnl::Route4> routes;
};

rtnl::Error readConfig(int ifindex, Config *config);
// Gives the interface exactly `want`'s IPv4 addresses and default routes.
rtnl::Error converge(int ifindex, const Config &want);

} // namespace netsh
