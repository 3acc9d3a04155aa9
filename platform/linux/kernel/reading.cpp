// Reading the kernel: links, IPv4 addresses and default routes, each table
// dumped whole over one socket and joined in memory by interface index.
#include "kernel/rtnl.h"

#include "kernel/netns.h"
#include "kernel/parse.h"
#include "kernel/socket.h"

#include <linux/rtnetlink.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace rtnl {

namespace {

// What the dumps deliver, before the join.
struct Tables {
    std::vector<Link> links;
    std::vector<std::pair<int, Address4>> addresses;   // by ifindex, in the kernel's order
    std::vector<std::pair<int, Route4>> routes;        // default routes, by ifindex of the hop
};

bool dumpInto(nl_sock *socket, int type, Tables *tables, Error *error)
{
    return dump(socket, type, [&](const nlmsghdr *h) {
        Link link;
        int ifindex = 0;
        Address4 address;
        parse::Route route;
        if (type == RTM_GETLINK && parse::link(h, &link)) {
            tables->links.push_back(std::move(link));
        } else if (type == RTM_GETADDR && parse::address(h, &ifindex, &address)) {
            tables->addresses.emplace_back(ifindex, address);
        } else if (type == RTM_GETROUTE && parse::route(h, &route) && route.isDefault()) {
            for (const auto &[index, gateway] : route.hops)
                tables->routes.emplace_back(index, Route4{gateway, route.metric, route.protocol});
        }
    }, error);
}

// Primary addresses first, in the kernel's order.
void primaryFirst(std::vector<Address4> *addresses)
{
    std::stable_partition(addresses->begin(), addresses->end(), [](const Address4 &a) { return !a.secondary; });
}

void lowestMetricFirst(std::vector<Route4> *routes)
{
    std::stable_sort(routes->begin(), routes->end(), [](const Route4 &a, const Route4 &b) { return a.metric < b.metric; });
}

std::vector<Interface> join(Tables tables)
{
    std::sort(tables.links.begin(), tables.links.end(), [](const Link &a, const Link &b) { return a.index < b.index; });
    std::vector<Interface> result;
    result.reserve(tables.links.size());
    std::map<int, size_t> at;
    for (Link &link : tables.links) {
        at[link.index] = result.size();
        result.push_back(Interface{std::move(link), {}, {}});
    }
    for (const auto &[index, address] : tables.addresses) {
        const auto i = at.find(index);
        if (i != at.end())
            result[i->second].addresses.push_back(address);
    }
    for (const auto &[index, route] : tables.routes) {
        const auto i = at.find(index);
        if (i != at.end())
            result[i->second].defaultRoutes.push_back(route);
    }
    for (Interface &i : result) {
        primaryFirst(&i.addresses);
        lowestMetricFirst(&i.defaultRoutes);
    }
    return result;
}

// One table on a fresh socket.
bool dumpOne(int type, Tables *tables, Error *error)
{
    Error ignored;
    Error *reason = error ? error : &ignored;
    const Socket socket = connect(reason);
    return socket && dumpInto(socket.get(), type, tables, reason);
}

// The interface's rows of one table, in the kernel's order.
template <typename T>
std::vector<T> ofInterface(int type, std::vector<std::pair<int, T>> Tables::*column, int ifindex, Error *error)
{
    Tables tables;
    dumpOne(type, &tables, error);
    std::vector<T> result;
    for (const auto &[index, row] : tables.*column) {
        if (index == ifindex)
            result.push_back(row);
    }
    return result;
}

template <typename Match>
bool findLink(Link *link, Error *error, Match match)
{
    for (Link &l : links(error)) {
        if (match(l)) {
            *link = std::move(l);
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<Interface> read(Error *error)
{
    // The socket outlives the reading: making and closing one costs more than
    // dumping a few interfaces. It answers for the namespace it was made in.
    static std::mutex lock;
    static Socket socket;
    static netns::Id socketNamespace;
    static unsigned socketGeneration = 0;
    const std::lock_guard<std::mutex> guard(lock);

    error->clear();
    if (socketGeneration != netns::forks()) {
        socket.reset();   // the parent's, which its answers may reach first
        socketGeneration = netns::forks();
    }
    const netns::Id here = netns::current();
    if (!here.known() || here != socketNamespace)
        socket.reset();
    if (!socket) {
        socket = connect(error);
        if (!socket)
            return {};
        socketNamespace = here;
    }
    Tables tables;
    for (const int type : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE}) {
        if (!dumpInto(socket.get(), type, &tables, error)) {
            socket.reset();
            return {};
        }
    }
    return join(std::move(tables));
}

std::vector<Link> links(Error *error)
{
    Tables tables;
    dumpOne(RTM_GETLINK, &tables, error);
    std::sort(tables.links.begin(), tables.links.end(), [](const Link &a, const Link &b) { return a.index < b.index; });
    return tables.links;
}

bool linkByName(const std::string &name, Link *link, Error *error)
{
    return findLink(link, error, [&](const Link &l) { return l.name == name; });
}

bool linkByIndex(int index, Link *link, Error *error)
{
    return findLink(link, error, [&](const Link &l) { return l.index == index; });
}

std::vector<Address4> addresses(int ifindex, Error *error)
{
    std::vector<Address4> result = ofInterface(RTM_GETADDR, &Tables::addresses, ifindex, error);
    primaryFirst(&result);
    return result;
}

std::vector<Route4> defaultRoutes(int ifindex, Error *error)
{
    std::vector<Route4> result = ofInterface(RTM_GETROUTE, &Tables::routes, ifindex, error);
    lowestMetricFirst(&result);
    return result;
}

} // namespace rtnl
