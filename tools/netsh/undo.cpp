#include "undo.h"

#include "dhcpclient.h"
#include "text.h"

namespace netsh {

bool takeSnapshot(const rtnl::Link &link, Snapshot *snapshot, std::string *error)
{
    const rtnl::Error failure = readConfig(link.index, &snapshot->config);
    if (!failure.empty())
        return fail(error, failure);
    netstate::load(link.name, link.index, &snapshot->state);
    snapshot->clientRunning = isRunningClient(snapshot->state.clientPid);
    return true;
}

std::string recordError(const std::string &ifname)
{
    return "The record of " + inQuotes(ifname) + " can't be written in " + netstate::namespaceDir() + ".";
}

void rollBack(const rtnl::Link &link, const Snapshot &before, const Environment &environment)
{
    converge(link.index, before.config);
    netstate::InterfaceState state = before.state;
    if (before.clientRunning && !isRunningClient(state.clientPid)) {
        int pid = 0;
        startClient(link.name, environment, &pid);
        state.clientPid = pid;
    }
    netstate::save(link.name, state);
}

bool finish(const rtnl::Link &link, const Snapshot &before, const Environment &environment,
            const rtnl::Error &failure, std::string *error)
{
    if (failure.empty())
        return true;
    rollBack(link, before, environment);
    return fail(error, failure);
}

} // namespace netsh
