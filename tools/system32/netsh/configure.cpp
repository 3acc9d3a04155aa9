#include "configure.h"

#include "kernel/procfs.h"

#include <algorithm>
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

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

// A default route the DHCP client added goes with its lease: a static one
// (protocol 0: any but the client's) takes its place.
bool satisfies(const Route4 &have, const Route4 &want)
{
    return rtnl::sameRoute(have, want)
        && (want.protocol ? have.protocol == want.protocol : have.protocol != RTPROT_DHCP);
}

bool satisfiesAddress(const Address4 &have, const Address4 &want)
{
    return satisfies(have, want);
}

bool satisfiesRoute(const Route4 &have, const Route4 &want)
{
    return satisfies(have, want);
}

bool sameRouteAndProtocol(const Route4 &a, const Route4 &b)
{
    return rtnl::sameRoute(a, b) && a.protocol == b.protocol;
}

bool sameSubnet(const Address4 &a, const Address4 &b)
{
    return a.prefix == b.prefix && ((a.address ^ b.address) & rtnl::prefixToMask(a.prefix)) == 0;
}

// Deleting a primary address takes the secondaries of its subnet along unless
// the kernel is told to promote one of them: an address that is to stay in
// that subnet is promoted for the time of the change.
class Promotion
{
public:
    Promotion(const std::string &ifname, bool needed)
        : m_ifname(ifname), m_before(needed ? procfs::promoteSecondaries(ifname) : "1")
    {
        if (m_before == "0")
            procfs::setPromoteSecondaries(ifname, "1");
    }
    ~Promotion()
    {
        if (m_before == "0")
            procfs::setPromoteSecondaries(m_ifname, m_before);
    }
    Promotion(const Promotion &) = delete;
    Promotion &operator=(const Promotion &) = delete;

private:
    std::string m_ifname;
    std::string m_before;
};

} // namespace

sys::Error readConfig(int ifindex, Config *config)
{
    sys::Error error;
    config->addresses = rtnl::addresses(ifindex, &error);
    if (error.empty())
        config->routes = rtnl::defaultRoutes(ifindex, &error);
    return error.empty() ? error : "The interface's configuration can't be read: " + error;
}

bool matches(const Config &have, const Config &want)
{
    if (have.addresses.size() != want.addresses.size() || have.routes.size() != want.routes.size())
        return false;
    for (const Address4 &a : want.addresses) {
        if (!contains(have.addresses, a, satisfiesAddress))
            return false;
    }
    for (const Route4 &r : want.routes) {
        if (!contains(have.routes, r, satisfiesRoute))
            return false;
    }
    return true;
}

namespace {

// Adds `add`, then removes `remove`: the interface keeps an address and its
// default routes throughout.
sys::Error change(const rtnl::Link &link, const Config &have, const Config &add, const Config &remove)
{
    // An address that stays in the subnet of a primary that goes is promoted.
    bool promote = false;
    for (const Address4 &a : remove.addresses) {
        const auto stays = [&](const Address4 &other) {
            return sameSubnet(other, a) && !contains(remove.addresses, other, rtnl::sameAddress);
        };
        promote = promote || (!a.secondary && (std::any_of(have.addresses.begin(), have.addresses.end(), stays)
                                               || std::any_of(add.addresses.begin(), add.addresses.end(), stays)));
    }
    const Promotion promotion(link.name, promote);
    sys::Error error;
    // An address that has a lifetime is made permanent in place.
    for (const Address4 &a : add.addresses) {
        if (!(error = rtnl::addAddress(link.index, a)).empty())
            return "Can't add " + rtnl::toText(a) + ": " + error;
    }
    for (const Route4 &r : add.routes) {
        if (!(error = rtnl::addDefaultRoute(link.index, r)).empty())
            return "Can't add " + routeText(r) + ": " + error;
    }
    for (const Route4 &r : remove.routes) {
        if (!(error = rtnl::deleteDefaultRoute(link.index, r)).empty())
            return "Can't remove " + routeText(r) + ": " + error;
    }
    // Secondaries first (the kernel lists them last), so that a primary that
    // goes has none left to take along.
    for (auto a = remove.addresses.rbegin(); a != remove.addresses.rend(); ++a) {
        error = rtnl::deleteAddress(link.index, *a);
        Config now;
        if (!error.empty() && readConfig(link.index, &now).empty() && contains(now.addresses, *a, rtnl::sameAddress))
            return "Can't remove " + rtnl::toText(*a) + ": " + error;
    }
    return sys::Error();
}

} // namespace

sys::Error converge(const rtnl::Link &link, const Config &want)
{
    Config have;
    sys::Error error = readConfig(link.index, &have);
    if (!error.empty())
        return error;
    Config add;
    Config remove;
    for (const Address4 &a : want.addresses) {
        if (!contains(have.addresses, a, satisfiesAddress))
            add.addresses.push_back(a);
    }
    for (const Address4 &a : have.addresses) {
        if (!contains(want.addresses, a, rtnl::sameAddress))
            remove.addresses.push_back(a);
    }
    // Each wanted route keeps the first route that satisfies it; every other
    // default route through the interface goes.
    std::vector<bool> kept(have.routes.size(), false);
    for (const Route4 &r : want.routes) {
        bool found = false;
        for (std::size_t i = 0; i < have.routes.size() && !found; ++i)
            found = kept[i] = !kept[i] && satisfies(have.routes[i], r);
        if (!found)
            add.routes.push_back(r);
    }
    for (std::size_t i = 0; i < have.routes.size(); ++i) {
        if (!kept[i])
            remove.routes.push_back(have.routes[i]);
    }
    if (!(error = change(link, have, add, remove)).empty() || !(error = readConfig(link.index, &have)).empty())
        return error;
    return matches(have, want) ? sys::Error() : "The interface did not keep its new configuration.";
}

sys::Error withdraw(const rtnl::Link &link, const Config &gone)
{
    Config have;
    sys::Error error = readConfig(link.index, &have);
    if (!error.empty())
        return error;
    // What the DHCP client has brought meanwhile stays: its address has a
    // lifetime, its routes its protocol.
    const auto isGone = [&](const Config &config) {
        Config found;
        for (const Address4 &a : config.addresses) {
            if (a.permanent && contains(gone.addresses, a, rtnl::sameAddress))
                found.addresses.push_back(a);
        }
        for (const Route4 &r : config.routes) {
            if (contains(gone.routes, r, sameRouteAndProtocol))
                found.routes.push_back(r);
        }
        return found;
    };
    if (!(error = change(link, have, Config(), isGone(have))).empty() || !(error = readConfig(link.index, &have)).empty())
        return error;
    const Config left = isGone(have);
    return left.addresses.empty() && left.routes.empty() ? sys::Error() : "The interface did not let its former configuration go.";
}

} // namespace netsh
