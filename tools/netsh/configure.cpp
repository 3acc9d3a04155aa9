#include "configure.h"

namespace netsh {

namespace {

using rtnl::Address4;
using rtnl::Route4;

std::string routeText(const Route4 &r)
{
    return "the default route via " + rtnl::toText(r.gateway) + " metric " + std::to_string(r.metric);
}

// An address the interface has that satisfies a wanted one: the same address
// and prefix, and without a lifetime when the wanted one has none.
bool satisfies(const Address4 &have, const Address4 &want)
{
    return rtnl::sameAddress(have, want) && (have.permanent || !want.permanent);
}

template <typename T, typename Same>
bool contains(const std::vector<T> &list, const T &item, Same same)
{
    for (const T &entry : list) {
        if (same(entry, item))
            return true;
    }
    return false;
}

} // namespace

rtnl::Error readConfig(int ifindex, Config *config)
{
    rtnl::Error error;
    config->addresses = rtnl::addresses(ifindex, &error);
    if (error.empty())
        config->routes = rtnl::defaultRoutes(ifindex, &error);
    return error.empty() ? error : "The interface's configuration can't be read: " + error;
}

namespace {

bool matches(const Config &have, const Config &want)
{
    if (have.addresses.size() != want.addresses.size() || have.routes.size() != want.routes.size())
        return false;
    for (const Address4 &a : want.addresses) {
        if (!contains(have.addresses, a, satisfies))
            return false;
    }
    for (const Route4 &r : want.routes) {
        if (!contains(have.routes, r, rtnl::sameRoute))
            return false;
    }
    return true;
}

// One pass towards `want`: new things first, so that the interface is never
// without an address it is to keep, then away with the rest.
rtnl::Error convergeOnce(int ifindex, const Config &want)
{
    Config have;
    rtnl::Error error = readConfig(ifindex, &have);
    if (!error.empty())
        return error;
    // The same address with a lifetime, where a permanent one is wanted, has to
    // go before the kernel takes the permanent one.
    for (const Address4 &a : have.addresses) {
        if (contains(want.addresses, a, rtnl::sameAddress) && !contains(want.addresses, a, satisfies)
            && !(error = rtnl::deleteAddress(ifindex, a)).empty())
            return "Can't remove " + rtnl::toText(a) + ": " + error;
    }
    if (!(error = readConfig(ifindex, &have)).empty())
        return error;
    for (const Address4 &a : want.addresses) {
        if (!contains(have.addresses, a, rtnl::sameAddress) && !(error = rtnl::addAddress(ifindex, a)).empty())
            return "Can't add " + rtnl::toText(a) + ": " + error;
    }
    for (const Route4 &r : want.routes) {
        if (!contains(have.routes, r, rtnl::sameRoute) && !(error = rtnl::addDefaultRoute(ifindex, r)).empty())
            return "Can't add " + routeText(r) + ": " + error;
    }
    for (const Route4 &r : have.routes) {
        if (!contains(want.routes, r, rtnl::sameRoute) && !(error = rtnl::deleteDefaultRoute(ifindex, r)).empty())
            return "Can't remove " + routeText(r) + ": " + error;
    }
    // Secondaries first (the kernel lists them last): deleting a primary takes
    // its secondaries along.
    for (auto a = have.addresses.rbegin(); a != have.addresses.rend(); ++a) {
        if (contains(want.addresses, *a, rtnl::sameAddress))
            continue;
        error = rtnl::deleteAddress(ifindex, *a);
        Config now;
        if (!error.empty() && readConfig(ifindex, &now).empty() && contains(now.addresses, *a, rtnl::sameAddress))
            return "Can't remove " + rtnl::toText(*a) + ": " + error;
    }
    return rtnl::Error();
}

} // namespace

rtnl::Error converge(int ifindex, const Config &want)
{
    // Deleting a primary address takes the secondaries of its subnet along
    // (unless the kernel promotes them), and deleting an interface's last
    // address flushes its routes: another pass puts back what went with them.
    for (int pass = 0; pass < 3; ++pass) {
        const rtnl::Error error = convergeOnce(ifindex, want);
        if (!error.empty())
            return error;
        Config have;
        if (readConfig(ifindex, &have).empty() && matches(have, want))
            return rtnl::Error();
    }
    return "The interface did not keep its new configuration.";
}

} // namespace netsh
