// Applying a configuration: an interface's IPv4 addresses and default routes.
#pragma once

#include "kernel/rtnl.h"

#include <string>
#include <vector>

namespace netsh {

struct Config {
    std::vector<rtnl::Address4> addresses;
    std::vector<rtnl::Route4> routes;
};

sys::Error readConfig(int ifindex, Config *config);
// The interface has exactly `want`'s addresses and default routes.
bool matches(const Config &have, const Config &want);
// Gives the interface exactly `want`'s IPv4 addresses and default routes in
// one pass: what is new is added before what goes is removed, so that the
// interface keeps an address and a default route throughout. Other routes
// and the flags of the addresses it keeps are left alone.
sys::Error converge(const rtnl::Link &link, const Config &want);
// Takes `gone`'s permanent addresses and its default routes (by protocol as
// well) from the interface, and nothing else.
sys::Error withdraw(const rtnl::Link &link, const Config &gone);

template <typename T, typename Same>
bool contains(const std::vector<T> &list, const T &item, Same same)
{
    for (const T &entry : list) {
        if (same(entry, item))
            return true;
    }
    return false;
}

} // namespace netsh
