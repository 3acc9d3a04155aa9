#include "managed.h"

#include "managers/manager.h"
#include "managers/networkmanager.h"
#include "process.h"
#include "text.h"

namespace netsh {

namespace {

networkmanager::Change changeOf(const Request &request)
{
    networkmanager::Change change;
    const bool fixed = request.source == Source::Static;
    if (request.setting == Setting::Address)
        change.what = fixed ? networkmanager::Change::StaticAddress : networkmanager::Change::DhcpAddress;
    else
        change.what = fixed ? networkmanager::Change::StaticDns : networkmanager::Change::DhcpDns;
    change.address = request.address;
    change.prefix = request.prefix;
    change.gateway = request.gateway;
    return change;
}

} // namespace

bool changeThroughNetworkManager(const rtnl::Link &link, const Request &request, bool *done, std::string *error)
{
    std::string unknown;
    *done = false;
    // netsh ends within 55 s, whatever NetworkManager does: the command
    // interpreter kills it at 60.
    networkmanager::stopWaiting([] { return interruption() != 0; }, 45000);
    if (networkmanager::manages(link.name, &unknown)) {
        *done = networkmanager::apply(link.name, changeOf(request), error);
        if (!*done && interruption())
            *error = interruptionText();
    } else if (!unknown.empty() && interruption())
        *error = interruptionText();
    else if (!unknown.empty())
        *error = "Whether NetworkManager manages " + inQuotes(link.name) + " can't be told: " + unknown + "; nothing was changed.";
    else
        return false;
    return true;
}

std::string foreignOwner(const rtnl::Link &link)
{
    const manager::Owner owner = manager::foreign(link);
    return owner.kind == manager::Kind::Nobody ? std::string() : manager::refusal(link.name, owner);
}

} // namespace netsh
