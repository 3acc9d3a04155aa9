#include "kernel/rtnl.h"

#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>

#include <algorithm>
#include <arpa/inet.h>
#include <fstream>
#include <linux/if_arp.h>
#include <memory>
#include <linux/if.h>
#include <sys/stat.h>

namespace rtnl {

namespace {

struct SocketFree { void operator()(nl_sock *s) const { nl_socket_free(s); } };
struct AddrPut { void operator()(nl_addr *a) const { nl_addr_put(a); } };
struct LinkPut { void operator()(rtnl_link *l) const { rtnl_link_put(l); } };
struct AddressPut { void operator()(rtnl_addr *a) const { rtnl_addr_put(a); } };
struct RoutePut { void operator()(rtnl_route *r) const { rtnl_route_put(r); } };

using Socket = std::unique_ptr<nl_sock, SocketFree>;
using NlAddr = std::unique_ptr<nl_addr, AddrPut>;

Error errorText(int code)
{
    return nl_geterror(code < 0 ? code : -code);
}

void report(Error *error, const Error &text)
{
    if (error)
        *error = text;
}

// A fresh rtnetlink socket in the calling thread's network namespace.
Socket connect(Error *error)
{
    Socket socket(nl_socket_alloc());
    if (!socket) {
        report(error, errorText(NLE_NOMEM));
        return nullptr;
    }
    const int rc = nl_connect(socket.get(), NETLINK_ROUTE);
    if (rc < 0) {
        report(error, errorText(rc));
        return nullptr;
    }
    return socket;
}

enum class Kind { Links, Addresses, Routes };

// Dumps one kind of object and hands each to `visit` as the kernel sent it; a
// libnl error code. A libnl cache would fold routes that differ only in their
// next hop (two interfaces' default routes of the same metric) into one.
template <typename Object, typename Visit>
int dumpEach(nl_sock *socket, Kind kind, Visit visit)
{
    const auto each = [](nl_msg *msg, void *arg) -> int {
        nl_msg_parse(msg, [](nl_object *o, void *v) { (*static_cast<Visit *>(v))(reinterpret_cast<Object *>(o)); }, arg);
        return NL_OK;
    };
    int rc = nl_socket_modify_cb(socket, NL_CB_VALID, NL_CB_CUSTOM, each, &visit);
    if (rc < 0)
        return rc;
    // The family header's first byte is its family in all three.
    union {
        ifinfomsg link;
        ifaddrmsg address;
        rtmsg route;
    } request = {};
    int type = RTM_GETLINK;
    std::size_t size = sizeof request.link;
    if (kind == Kind::Addresses) {
        type = RTM_GETADDR;
        size = sizeof request.address;
    } else if (kind == Kind::Routes) {
        type = RTM_GETROUTE;
        size = sizeof request.route;
        request.route.rtm_family = AF_INET;
    }
    rc = nl_send_simple(socket, type, NLM_F_DUMP, &request, size);
    return rc < 0 ? rc : nl_recvmsgs_default(socket);
}

// Hands every object of the kind to `visit`; false, with the reason in
// *error, when the kernel could not be asked.
template <typename Object, typename Visit>
bool visitAll(Kind kind, Error *error, Visit visit)
{
    Socket socket = connect(error);
    if (!socket)
        return false;
    const int rc = dumpEach<Object>(socket.get(), kind, visit);
    if (rc < 0) {
        report(error, errorText(rc));
        return false;
    }
    report(error, Error());
    return true;
}

NlAddr inet(uint32_t address, int prefix)
{
    NlAddr a(nl_addr_build(AF_INET, &address, sizeof address));
    if (a)
        nl_addr_set_prefixlen(a.get(), prefix);
    return a;
}

uint32_t inetOf(nl_addr *a)
{
    uint32_t value = 0;
    if (a && nl_addr_get_family(a) == AF_INET && nl_addr_get_len(a) == sizeof value)
        std::copy_n(static_cast<const uint8_t *>(nl_addr_get_binary_addr(a)), sizeof value,
                    reinterpret_cast<uint8_t *>(&value));
    return value;
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool wireless(const Link &link)
{
    const std::string dir = sysfsDir(link);
    return !dir.empty() && (exists(dir + "/wireless") || exists(dir + "/phy80211"));
}

Link linkOf(rtnl_link *l)
{
    Link link;
    link.index = rtnl_link_get_ifindex(l);
    if (const char *name = rtnl_link_get_name(l))
        link.name = name;
    if (nl_addr *a = rtnl_link_get_addr(l)) {
        const auto *bytes = static_cast<const uint8_t *>(nl_addr_get_binary_addr(a));
        link.address.assign(bytes, bytes + nl_addr_get_len(a));
    }
    link.arptype = rtnl_link_get_arptype(l);
    link.flags = rtnl_link_get_flags(l);
    if (const char *kind = rtnl_link_get_type(l))
        link.kind = kind;
    link.wireless = wireless(link);
    return link;
}

bool isDefaultRoute(rtnl_route *r)
{
    nl_addr *dst = rtnl_route_get_dst(r);
    return rtnl_route_get_family(r) == AF_INET && rtnl_route_get_table(r) == RT_TABLE_MAIN
        && rtnl_route_get_type(r) == RTN_UNICAST && (!dst || nl_addr_get_prefixlen(dst) == 0);
}

// The next hop of a default route that leaves through the interface, if any.
rtnl_nexthop *hopThrough(rtnl_route *r, int ifindex)
{
    for (int n = 0; n < rtnl_route_get_nnexthops(r); ++n) {
        rtnl_nexthop *hop = rtnl_route_nexthop_n(r, n);
        if (hop && rtnl_route_nh_get_ifindex(hop) == ifindex)
            return hop;
    }
    return nullptr;
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

// Deletes the kernel's own object that matches: deleting it as it stands
// matches its peer, label, scope and protocol too.
template <typename Object, typename Match>
Error removeFirst(Kind kind, Match match, int (*remove)(nl_sock *, Object *, int))
{
    return withSocket([&](nl_sock *socket) {
        Object *found = nullptr;
        const int rc = dumpEach<Object>(socket, kind, [&](Object *o) {
            if (!found && match(o)) {
                nl_object_get(reinterpret_cast<nl_object *>(o));
                found = o;
            }
        });
        if (rc < 0 || !found) {
            if (found)
                nl_object_put(reinterpret_cast<nl_object *>(found));
            return rc < 0 ? rc : -NLE_OBJ_NOTFOUND;
        }
        // A fresh socket: this one's callback belongs to the dump.
        Error ignored;
        Socket other = connect(&ignored);
        const int removed = other ? remove(other.get(), found, 0) : -NLE_NOMEM;
        nl_object_put(reinterpret_cast<nl_object *>(found));
        return removed;
    });
}

// The interface that satisfies `match`; false when there is none or the
// kernel could not be asked.
template <typename Match>
bool findLink(Link *link, Error *error, Match match)
{
    for (const Link &l : links(error)) {
        if (match(l)) {
            *link = l;
            return true;
        }
    }
    return false;
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

std::vector<Link> links(Error *error)
{
    std::vector<Link> result;
    visitAll<rtnl_link>(Kind::Links, error, [&](rtnl_link *l) { result.push_back(linkOf(l)); });
    std::sort(result.begin(), result.end(),
              [](const Link &a, const Link &b) { return a.index < b.index; });
    return result;
}

std::string sysfsDir(const Link &link)
{
    const std::string dir = "/sys/class/net/" + link.name;
    std::ifstream in(dir + "/ifindex");
    int index = 0;
    return in >> index && index == link.index ? dir : std::string();
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
    std::vector<Address4> result;
    visitAll<rtnl_addr>(Kind::Addresses, error, [&](rtnl_addr *a) {
        if (rtnl_addr_get_family(a) != AF_INET || rtnl_addr_get_ifindex(a) != ifindex)
            return;
        Address4 address;
        address.address = inetOf(rtnl_addr_get_local(a));
        address.prefix = rtnl_addr_get_prefixlen(a);
        const unsigned flags = rtnl_addr_get_flags(a);
        // The kernel marks every address without a finite lifetime IFA_F_PERMANENT.
        address.permanent = flags & IFA_F_PERMANENT;
        address.secondary = flags & IFA_F_SECONDARY;
        result.push_back(address);
    });
    std::stable_partition(result.begin(), result.end(),
                          [](const Address4 &a) { return !a.secondary; });
    return result;
}

std::vector<Route4> defaultRoutes(int ifindex, Error *error)
{
    std::vector<Route4> result;
    visitAll<rtnl_route>(Kind::Routes, error, [&](rtnl_route *r) {
        if (!isDefaultRoute(r))
            return;
        if (rtnl_nexthop *hop = hopThrough(r, ifindex)) {
            Route4 route;
            route.gateway = inetOf(rtnl_route_nh_get_gateway(hop));
            route.metric = rtnl_route_get_priority(r);
            route.protocol = rtnl_route_get_protocol(r);
            result.push_back(route);
        }
    });
    std::stable_sort(result.begin(), result.end(),
                     [](const Route4 &a, const Route4 &b) { return a.metric < b.metric; });
    return result;
}

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
    return removeFirst<rtnl_addr>(Kind::Addresses, [&](rtnl_addr *a) {
        return rtnl_addr_get_family(a) == AF_INET && rtnl_addr_get_ifindex(a) == ifindex
            && inetOf(rtnl_addr_get_local(a)) == address.address
            && rtnl_addr_get_prefixlen(a) == address.prefix;
    }, rtnl_addr_delete);
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
    return removeFirst<rtnl_route>(Kind::Routes, [&](rtnl_route *r) {
        rtnl_nexthop *hop = isDefaultRoute(r) && rtnl_route_get_priority(r) == route.metric
            ? hopThrough(r, ifindex) : nullptr;
        return hop && inetOf(rtnl_route_nh_get_gateway(hop)) == route.gateway
            && (!route.protocol || rtnl_route_get_protocol(r) == route.protocol);
    }, rtnl_route_delete);
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
