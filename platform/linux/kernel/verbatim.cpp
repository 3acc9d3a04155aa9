#include "kernel/verbatim.h"

#include "kernel/parse.h"
#include "kernel/procfs.h"
#include "kernel/socket.h"

#include <netlink/errno.h>
#include <netlink/msg.h>

#include <algorithm>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

namespace verbatim {

namespace {

const nlmsghdr *header(const Message &m)
{
    return reinterpret_cast<const nlmsghdr *>(m.data());
}

Message comparable(const Message &m)
{
    return rtnl::normalized(m, false);
}

// An address of the interface, or a route through it that is not the
// kernel's own: the kernel's routes come and go with the addresses.
bool belongs(const nlmsghdr *h, int ifindex)
{
    int index = 0;
    rtnl::Address4 address;
    if (rtnl::parse::address(h, &index, &address))
        return index == ifindex;
    rtnl::parse::Route route;
    return rtnl::parse::route(h, &route) && route.table != RT_TABLE_LOCAL && route.protocol != RTPROT_KERNEL
        && !(route.flags & RTM_F_CLONED)
        && std::any_of(route.hops.begin(), route.hops.end(), [&](const auto &hop) { return hop.first == ifindex; });
}

// The interface's messages of the table; "<what>: <why>" when it can't be read.
sys::Error dump(nl_sock *socket, int table, int ifindex, std::vector<Message> *out, const char *what)
{
    out->clear();
    sys::Error error;
    rtnl::dump(socket, table, [&](const nlmsghdr *h) {
        if (belongs(h, ifindex))
            out->emplace_back(reinterpret_cast<const uint8_t *>(h), reinterpret_cast<const uint8_t *>(h) + h->nlmsg_len);
    }, &error);
    return error.empty() ? error : std::string(what) + ": " + error;
}

int send(nl_sock *socket, const Message &m, int type, int flags)
{
    return rtnl::sendBack(socket, m, type, flags);
}

bool containsLike(const std::vector<Message> &list, const Message &m)
{
    const Message wanted = comparable(m);
    return std::any_of(list.begin(), list.end(), [&](const Message &x) { return comparable(x) == wanted; });
}

// The same address: the same local address and prefix.
bool sameAddress(const Message &a, const Message &b)
{
    int index = 0;
    rtnl::Address4 first;
    rtnl::Address4 second;
    return rtnl::parse::address(header(a), &index, &first) && rtnl::parse::address(header(b), &index, &second)
        && rtnl::sameAddress(first, second);
}

} // namespace

sys::Error save(int ifindex, Copy *saved)
{
    const char what[] = "The interface's configuration can't be read";
    sys::Error error;
    const rtnl::Socket socket = rtnl::connect(&error);
    if (!socket)
        return what + (": " + error);
    error = dump(socket.get(), RTM_GETADDR, ifindex, &saved->addresses, what);
    return error.empty() ? dump(socket.get(), RTM_GETROUTE, ifindex, &saved->routes, what) : error;
}

sys::Error restore(const rtnl::Link &link, const Copy &saved)
{
    sys::Error error;
    const rtnl::Socket socket = rtnl::connect(&error);
    if (!socket)
        return "The interface's configuration can't be restored: no netlink socket.";
    Copy now;
    error = dump(socket.get(), RTM_GETADDR, link.index, &now.addresses, "The interface's addresses can't be read");
    if (!error.empty())
        return error;
    // The saved addresses first, each as it was; an address whose label or
    // broadcast differs has to go before it can come back.
    const std::string promote = procfs::promoteSecondaries(link.name);
    procfs::setPromoteSecondaries(link.name, "1");
    int rc = 0;
    for (const Message &a : saved.addresses) {
        if (containsLike(now.addresses, a))
            continue;
        rc = send(socket.get(), a, RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE);
        std::vector<Message> after;
        if (rc >= 0 && !dump(socket.get(), RTM_GETADDR, link.index, &after, "").empty())
            rc = -NLE_FAILURE;
        if (rc >= 0 && !containsLike(after, a)) {
            // The kernel's own copy goes: a deletion that names another label
            // matches nothing.
            for (const Message &x : after) {
                if (sameAddress(x, a))
                    send(socket.get(), x, RTM_DELADDR, 0);
            }
            rc = send(socket.get(), a, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
        }
        if (rc < 0)
            break;
    }
    for (auto a = now.addresses.rbegin(); rc >= 0 && a != now.addresses.rend(); ++a) {
        if (std::none_of(saved.addresses.begin(), saved.addresses.end(), [&](const Message &s) { return sameAddress(s, *a); }))
            send(socket.get(), *a, RTM_DELADDR, 0);
    }
    if (!promote.empty())
        procfs::setPromoteSecondaries(link.name, promote);
    if (rc < 0)
        return rtnl::errorText(rc, "The interface's addresses can't be put back");

    error = dump(socket.get(), RTM_GETROUTE, link.index, &now.routes, "The interface's routes can't be read");
    if (!error.empty())
        return error;
    // A route through a gateway needs the route that reaches the gateway:
    // what fails is tried again as long as others get in.
    std::vector<Message> missing;
    for (const Message &r : saved.routes) {
        if (!containsLike(now.routes, r))
            missing.push_back(r);
    }
    for (std::size_t before = missing.size() + 1; !missing.empty() && missing.size() < before;) {
        before = missing.size();
        std::vector<Message> failed;
        for (const Message &r : missing) {
            rc = send(socket.get(), r, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_APPEND);
            if (rc < 0 && rc != -NLE_EXIST)
                failed.push_back(r);
        }
        missing.swap(failed);
    }
    if (!missing.empty())
        return rtnl::errorText(rc, "The interface's routes can't be put back");
    for (const Message &r : now.routes) {
        if (!containsLike(saved.routes, r))
            send(socket.get(), r, RTM_DELROUTE, 0);
    }
    Copy after;
    if (!save(link.index, &after).empty() || after.addresses.size() != saved.addresses.size()
        || after.routes.size() != saved.routes.size())
        return "The interface's configuration could not be put back as it was.";
    return sys::Error();
}

} // namespace verbatim
