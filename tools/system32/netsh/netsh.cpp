// Carrying out a command: the static and DHCP roads for an interface's
// address and its DNS server, each undone as a whole when it can't be finished.
#include "netsh.h"

#include "configure.h"
#include "dhcpclient.h"
#include "managed.h"
#include "records/records.h"
#include "process.h"
#include "resolver.h"
#include "text.h"
#include "journal.h"

#include <net/if.h>

namespace netsh {

namespace {

using rtnl::Address4;
using rtnl::Route4;

bool applyStaticAddress(const rtnl::Link &link, const Request &request, const Environment &environment,
                        std::string *error)
{
    Before before;
    if (!readBefore(link, &before, error))
        return false;
    Target target;
    Address4 address;
    address.address = request.address;
    address.prefix = request.prefix;
    target.config.addresses.push_back(address);
    if (request.gateway)
        target.config.routes.push_back(Route4{request.gateway, request.metric, 0});
    sys::Error failure = writeJournal(link, before, target);
    if (!failure.empty())
        return fail(error, failure);

    // The client would otherwise renew its lease over the static address.
    failure = stopClient(before.state.clientPid, before.state.clientMounts);
    if (failure.empty() && !interruption())
        failure = converge(link, target.config);
    if (failure.empty()) {
        records::InterfaceState state = before.state;
        state.method = "static";
        state.addresses = records::addressesText(target.config.addresses);
        state.clientPid = 0;
        state.clientMounts = 0;
        if (!records::save(link, state))
            failure = recordError(link.name);
    }
    if (!finish(link, before, environment, failure, error))
        return false;
    records::forgetLease(link);
    return true;
}

bool applyDhcpAddress(const rtnl::Link &link, const Environment &environment, std::string *error)
{
    Before before;
    if (!readBefore(link, &before, error))
        return false;
    records::InterfaceState state = before.state;
    state.method = "dhcp";
    if (before.clientRunning)
        return records::save(link, state) || fail(error, recordError(link.name));
    Target target;
    target.dhcp = true;
    sys::Error failure = writeJournal(link, before, target);
    if (!failure.empty())
        return fail(error, failure);

    // The client starts while the static configuration is still there: one
    // that can't start leaves nothing to put back. Then the static addresses
    // and gateways go, and nothing the client has brought meanwhile.
    records::forgetLease(link);
    ino_t mounts = 0;
    failure = startClient(link.name, environment, &state.clientPid, &mounts,
                          [&](ino_t started) { return noteClient(link, started); });
    state.clientMounts = mounts;
    if (failure.empty() && !interruption())
        failure = withdraw(link, before.config);
    if (failure.empty() && !records::save(link, state))
        failure = recordError(link.name);
    return finish(link, before, environment, failure, error);
}

bool applyDns(const rtnl::Link &link, const Request &request, std::string *error)
{
    records::InterfaceState before;
    std::string damage;
    if (!records::load(link, &before, &damage) && !damage.empty())
        return fail(error, damage);
    records::InterfaceState state = before;
    std::vector<std::string> servers;
    if (request.source == Source::Static) {
        state.dnsSource = "static";
        state.staticDns = rtnl::toText(request.address);
        servers.push_back(state.staticDns);
    } else {
        state.dnsSource = "dhcp";
        state.staticDns.clear();
        records::Lease lease;
        if (records::loadLease(link, &lease, &damage))
            servers = words(lease.dns);
        else if (!damage.empty())
            return fail(error, damage);
    }
    DnsBefore undo{before.dnsSource, before.staticDns, false, std::string()};
    undo.resolverFile = resolverFile(&undo.resolver);
    sys::Error failure = writeJournal(link, undo);
    if (!failure.empty())
        return fail(error, failure);
    if (!records::save(link, state))
        failure = recordError(link.name);
    if (failure.empty() && !interruption())
        failure = setResolver(link.name, servers, before.staticDns);
    return finish(link, undo, failure, error);
}

} // namespace

bool apply(const Request &request, const Environment &environment, std::string *error)
{
    catchSignals();
    rtnl::Link link;
    sys::Error failure;
    if (!rtnl::linkByName(request.name, &link, &failure)) {
        if (!failure.empty())
            return fail(error, "The interfaces can't be read: " + failure);
        return fail(error, "There is no interface named " + inQuotes(request.name) + ".");
    }
    if (link.flags & IFF_LOOPBACK)
        return fail(error, inQuotes(request.name) + " is the loopback interface; it can't be configured.");
    // NetworkManager keeps its own order and records: its road needs neither
    // the lock nor the journal. On netsh's own road the lock comes first, then
    // whatever a killed netsh left, and only then a look for another DHCP
    // client: the one a killed or concurrent netsh started is known by then.
    bool done; // set by the call
    if (changeThroughNetworkManager(link, request, &done, error))
        return done;
    // From here netsh changes the kernel itself, which only an administrator
    // may; a desktop user learns that before anything is touched.
    if (!administers())
        return fail(error, "Changing " + inQuotes(request.name) + " needs administrator rights (root); nothing was changed.");
    failure = lockInterface(link.name);
    if (failure.empty())
        failure = recover(link, environment);
    if (failure.empty())
        failure = foreignOwner(link);
    if (!failure.empty())
        return fail(error, failure);
    if (request.setting == Setting::Dns)
        return applyDns(link, request, error);
    if (!(link.flags & IFF_UP))
        return fail(error, "The interface " + inQuotes(request.name) + " is disabled.");
    if (request.source == Source::Static)
        return applyStaticAddress(link, request, environment, error);
    return applyDhcpAddress(link, environment, error);
}

} // namespace netsh
