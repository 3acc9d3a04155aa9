// Changing the kernel: addresses, default routes and links, each change on a
// socket of its own.
#include "kernel/rtnl.h"

#include "kernel/parse.h"
#include "kernel/socket.h"

#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>

#include <algorithm>
#include <arpa/inet.h>
#include <linux/if.h>
#include <memory>

namespace rtnl {

namespace {

struct AddrPut { void operator()(nl_addr *a) const { nl_addr_put(a); } };
struct LinkPut { void operator()(rtnl_link *l) const { rtnl_link_put(l); } };
struct AddressPut { void operator()(rtnl_addr *a) const { rtnl_addr_put(a); } };
struct RoutePut { void operator()(rtnl_route *r) const { rtnl_route_put(r); } };

using NlAddr = std::unique_ptr<nl_addr, AddrPut>;

NlAddr inet(uint32_t address, int prefix)
{
    NlAddr a(nl_addr_build(AF_INET, &address, sizeof address));
    if (a)
        nl_addr_set_prefixlen(a.get(), prefix);
    return a;
}

// Runs `change` on a fresh socket; the error text, empty on success.
template <typename Change>
Error withSocket(Change change)
{
    Error error;
    Socket socket = connect(&error);
    if (!socket)
        return error;
    const int rc = change(socket.get());
    return rc < 0 ? errorText(rc) : Error();
}

// Deletes the first of the kernel's own objects of the table that matches:
// sent back as it stands, it matches its peer, label, scope and protocol too.
template <typename Match>
Error removeFirst(int table, int remove, Match match)
{
    Error error;
    Socket socket = connect(&error);
    if (!socket)
        return error;
    Message found;
    if (!dump(socket.get(), table, [&](const nlmsghdr *h) {
            if (found.empty() && match(h))
                found.assign(reinterpret_cast<const uint8_t *>(h), reinterpret_cast<const uint8_t *>(h) + h->nlmsg_len);
        }, &error))
        return error;
    if (found.empty())
        return errorText(NLE_OBJ_NOTFOUND);
    const int rc = sendBack(socket.get(), found, remove, 0);
    return rc < 0 ? errorText(rc) : Error();
}

Error changeLink(int ifindex, void (*edit)(rtnl_link *, const void *), const void *arg)
{
    return withSocket([&](nl_sock *socket) {
        rtnl_link *current = nullptr;
        int rc = rtnl_link_get_kernel(socket, ifindex, nullptr, &current);
        if (rc < 0)
            return rc;
        std::unique_ptr<rtnl_link, LinkPut> orig(current);
        std::unique_ptr<rtnl_link, LinkPut> wanted(rtnl_link_alloc());
        if (!wanted)
            return -NLE_NOMEM;
        edit(wanted.get(), arg);
        return rtnl_link_change(socket, orig.get(), wanted.get(), 0);
    });
}

} // namespace

Error addAddress(int ifindex, const Address4 &address)
{
    return withSocket([&](nl_sock *socket) {
        std::unique_ptr<rtnl_addr, AddressPut> a(rtnl_addr_alloc());
        NlAddr local = inet(address.address, address.prefix);
        if (!a || !local)
            return -NLE_NOMEM;
        rtnl_addr_set_ifindex(a.get(), ifindex);
        rtnl_addr_set_family(a.get(), AF_INET);
        int rc = rtnl_addr_set_local(a.get(), local.get());
        if (rc < 0)
            return rc;
        rtnl_addr_set_prefixlen(a.get(), address.prefix);
        // A broadcast address as Windows gives every subnet that has one.
        if (address.prefix < 31) {
            NlAddr broadcast = inet(address.address | ~prefixToMask(address.prefix), 32);
            if (!broadcast)
                return -NLE_NOMEM;
            rc = rtnl_addr_set_broadcast(a.get(), broadcast.get());
            if (rc < 0)
                return rc;
        }
        return rtnl_addr_add(socket, a.get(), NLM_F_REPLACE);
    });
}

Error deleteAddress(int ifindex, const Address4 &address)
{
    return removeFirst(RTM_GETADDR, RTM_DELADDR, [&](const nlmsghdr *h) {
        int index = 0;
        Address4 found;
        return parse::address(h, &index, &found) && index == ifindex && sameAddress(found, address);
    });
}

Error addDefaultRoute(int ifindex, const Route4 &route)
{
    return withSocket([&](nl_sock *socket) {
        std::unique_ptr<rtnl_route, RoutePut> r(rtnl_route_alloc());
        NlAddr any = inet(0, 0);
        rtnl_nexthop *hop = rtnl_route_nh_alloc();
        if (!r || !any || !hop) {
            if (hop)
                rtnl_route_nh_free(hop);
            return -NLE_NOMEM;
        }
        rtnl_route_set_family(r.get(), AF_INET);
        rtnl_route_set_table(r.get(), RT_TABLE_MAIN);
        rtnl_route_set_type(r.get(), RTN_UNICAST);
        rtnl_route_set_protocol(r.get(), RTPROT_STATIC);
        rtnl_route_set_priority(r.get(), route.metric);
        int rc = rtnl_route_set_dst(r.get(), any.get());
        if (rc < 0) {
            rtnl_route_nh_free(hop);
            return rc;
        }
        rtnl_route_nh_set_ifindex(hop, ifindex);
        if (route.gateway) {
            NlAddr gateway = inet(route.gateway, 32);
            if (!gateway) {
                rtnl_route_nh_free(hop);
                return -NLE_NOMEM;
            }
            rtnl_route_nh_set_gateway(hop, gateway.get());
            rtnl_route_set_scope(r.get(), RT_SCOPE_UNIVERSE);
        } else {
            rtnl_route_set_scope(r.get(), RT_SCOPE_LINK);
        }
        rtnl_route_add_nexthop(r.get(), hop);   // the route owns the hop from here
        return rtnl_route_add(socket, r.get(), NLM_F_APPEND);
    });
}

Error deleteDefaultRoute(int ifindex, const Route4 &route)
{
    return removeFirst(RTM_GETROUTE, RTM_DELROUTE, [&](const nlmsghdr *h) {
        parse::Route parsed;
        Route4 found;
        return parse::route(h, &parsed) && parsed.defaultThrough(ifindex, &found) && sameRoute(found, route)
            && (!route.protocol || found.protocol == route.protocol);
    });
}

Error setLinkUp(int ifindex, bool up)
{
    return changeLink(ifindex, [](rtnl_link *l, const void *arg) {
        if (*static_cast<const bool *>(arg))
            rtnl_link_set_flags(l, IFF_UP);
        else
            rtnl_link_unset_flags(l, IFF_UP);
    }, &up);
}

Error setLinkAddress(int ifindex, const std::vector<uint8_t> &address)
{
    NlAddr a(nl_addr_build(AF_LLC, address.data(), address.size()));
    if (!a)
        return errorText(NLE_NOMEM);
    return changeLink(ifindex, [](rtnl_link *l, const void *arg) {
        rtnl_link_set_addr(l, static_cast<nl_addr *>(const_cast<void *>(arg)));
    }, a.get());
}

std::string toText(uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string toText(const Address4 &address)
{
    return toText(address.address) + "/" + std::to_string(address.prefix);
}

bool fromText(const std::string &text, uint32_t *address)
{
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *address = a.s_addr;
    return true;
}

uint32_t prefixToMask(int prefix)
{
    if (prefix <= 0)
        return 0;
    if (prefix >= 32)
        return 0xffffffffu;
    return htonl(~((1u << (32 - prefix)) - 1));
}

int maskToPrefix(uint32_t mask)
{
    const uint32_t host = ntohl(mask);
    const uint32_t inverted = ~host;
    if (inverted & (inverted + 1))
        return -1;
    return __builtin_popcount(host);
}

} // namespace rtnl
