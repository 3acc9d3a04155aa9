#include "managed.h"

#include "managers/manager.h"
#include "managers/networkmanager.h"

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

bool changeThroughManager(const rtnl::Link &link, const Request &request, bool *done, std::string *error)
{
    const manager::Owner owner = manager::of(link);
    switch (owner.kind) {
    case manager::Kind::Nobody:
        return false;
    case manager::Kind::NetworkManager:
        *done = networkmanager::apply(link.name, changeOf(request), error);
        return true;
    case manager::Kind::DhcpClient:
    case manager::Kind::Networkd:
        break;
    }
    *error = manager::refusal(link.name, owner);
    *done = false;
    return true;
}

} // namespace netsh
