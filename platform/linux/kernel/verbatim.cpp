#include "kernel/verbatim.h"

#include "kernel/procfs.h"

#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <algorithm>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <memory>

namespace verbatim {

namespace {

struct SocketFree { void operator()(nl_sock *s) const { nl_socket_free(s); } };
struct MsgFree { void operator()(nl_msg *m) const { nlmsg_free(m); } };
using Socket = std::unique_ptr<nl_sock, SocketFree>;

enum class Kind { Address, Route };

const nlmsghdr *header(const Message &m)
{
    return reinterpret_cast<const nlmsghdr *>(m.data());
}

int familyHeaderSize(Kind kind)
{
    return kind == Kind::Address ? int(sizeof(ifaddrmsg)) : int(sizeof(rtmsg));
}

template <typename Visit>
void forEachAttribute(const Message &m, Kind kind, Visit visit)
{
    const nlmsghdr *h = header(m);
    nlattr *a = nlmsg_attrdata(h, familyHeaderSize(kind));
    int remaining = nlmsg_attrlen(h, familyHeaderSize(kind));
    for (; nla_ok(a, remaining); a = nla_next(a, &remaining))
        visit(a);
}

// State the kernel reports but takes no orders about: which address of a
// subnet is primary, the lifetimes left, a link that is down.
constexpr unsigned stateFlags = RTNH_F_DEAD | RTNH_F_LINKDOWN | RTNH_F_OFFLOAD | RTNH_F_TRAP;

// A message with that state taken out, for comparing and for sending.
Message normalized(const Message &m, Kind kind, bool keepLifetime)
{
    const int fixed = NLMSG_HDRLEN + familyHeaderSize(kind);
    Message out(m.begin(), m.begin() + fixed);
    auto *h = reinterpret_cast<nlmsghdr *>(out.data());
    h->nlmsg_flags = 0;
    h->nlmsg_seq = 0;
    h->nlmsg_pid = 0;
    if (kind == Kind::Address)
        static_cast<ifaddrmsg *>(nlmsg_data(h))->ifa_flags &= ~(IFA_F_SECONDARY | IFA_F_PERMANENT);
    else
        static_cast<rtmsg *>(nlmsg_data(h))->rtm_flags &= ~stateFlags;
    forEachAttribute(m, kind, [&](nlattr *a) {
        if (kind == Kind::Address && nla_type(a) == IFA_CACHEINFO && !keepLifetime)
            return;
        const std::size_t at = out.size();
        out.insert(out.end(), reinterpret_cast<uint8_t *>(a), reinterpret_cast<uint8_t *>(a) + NLA_ALIGN(a->nla_len));
        auto *copy = reinterpret_cast<nlattr *>(out.data() + at);
        if (kind == Kind::Address && nla_type(copy) == IFA_FLAGS)
            *static_cast<uint32_t *>(nla_data(copy)) &= ~uint32_t(IFA_F_SECONDARY);
    });
    reinterpret_cast<nlmsghdr *>(out.data())->nlmsg_len = uint32_t(out.size());
    return out;
}

Message comparable(const Message &m, Kind kind)
{
    return normalized(m, kind, false);
}

uint32_t u32Attribute(const Message &m, Kind kind, int type, uint32_t fallback)
{
    uint32_t value = fallback;
    forEachAttribute(m, kind, [&](nlattr *a) {
        if (nla_type(a) == type && nla_len(a) >= int(sizeof value))
            value = nla_get_u32(a);
    });
    return value;
}

// The route leaves through the interface, by itself or as one of its hops.
bool through(const Message &m, int ifindex)
{
    bool found = u32Attribute(m, Kind::Route, RTA_OIF, 0) == uint32_t(ifindex);
    forEachAttribute(m, Kind::Route, [&](nlattr *a) {
        if (nla_type(a) != RTA_MULTIPATH)
            return;
        const auto *hop = static_cast<const rtnexthop *>(nla_data(a));
        int remaining = nla_len(a);
        while (RTNH_OK(hop, remaining)) {
            found = found || hop->rtnh_ifindex == ifindex;
            remaining -= NLMSG_ALIGN(hop->rtnh_len);
            hop = RTNH_NEXT(hop);
        }
    });
    return found;
}

bool belongs(const Message &m, Kind kind, int ifindex)
{
    const void *data = nlmsg_data(header(m));
    if (kind == Kind::Address)
        return static_cast<const ifaddrmsg *>(data)->ifa_index == unsigned(ifindex);
    const auto *r = static_cast<const rtmsg *>(data);
    return u32Attribute(m, kind, RTA_TABLE, r->rtm_table) != RT_TABLE_LOCAL && r->rtm_protocol != RTPROT_KERNEL
        && !(r->rtm_flags & RTM_F_CLONED) && through(m, ifindex);
}

int collect(nl_msg *msg, void *arg)
{
    const nlmsghdr *h = nlmsg_hdr(msg);
    const auto *bytes = reinterpret_cast<const uint8_t *>(h);
    static_cast<std::vector<Message> *>(arg)->emplace_back(bytes, bytes + h->nlmsg_len);
    return NL_OK;
}

int dump(nl_sock *socket, Kind kind, int ifindex, std::vector<Message> *out)
{
    std::vector<Message> all;
    int rc = nl_socket_modify_cb(socket, NL_CB_VALID, NL_CB_CUSTOM, collect, &all);
    if (kind == Kind::Address) {
        ifaddrmsg request = {};
        request.ifa_family = AF_INET;
        if (rc >= 0)
            rc = nl_send_simple(socket, RTM_GETADDR, NLM_F_DUMP, &request, sizeof request);
    } else {
        rtmsg request = {};
        request.rtm_family = AF_INET;
        if (rc >= 0)
            rc = nl_send_simple(socket, RTM_GETROUTE, NLM_F_DUMP, &request, sizeof request);
    }
    if (rc >= 0)
        rc = nl_recvmsgs_default(socket);
    out->clear();
    for (Message &m : all) {
        if (m.size() >= NLMSG_HDRLEN + std::size_t(familyHeaderSize(kind)) && belongs(m, kind, ifindex))
            out->push_back(std::move(m));
    }
    return rc;
}

// Sends the saved object as a request of `type`; a libnl error code.
int send(nl_sock *socket, const Message &m, Kind kind, int type, int flags)
{
    const Message body = normalized(m, kind, true);
    std::unique_ptr<nl_msg, MsgFree> msg(nlmsg_alloc_simple(type, flags));
    if (!msg)
        return -NLE_NOMEM;
    int rc = nlmsg_append(msg.get(), const_cast<uint8_t *>(body.data()) + NLMSG_HDRLEN,
                          body.size() - NLMSG_HDRLEN, NLMSG_ALIGNTO);
    if (rc >= 0)
        rc = nl_send_auto(socket, msg.get());
    return rc < 0 ? rc : nl_wait_for_ack(socket);
}

bool containsLike(const std::vector<Message> &list, const Message &m, Kind kind)
{
    const Message wanted = comparable(m, kind);
    return std::any_of(list.begin(), list.end(), [&](const Message &x) { return comparable(x, kind) == wanted; });
}

// The same address: the same local address and prefix.
bool sameAddress(const Message &a, const Message &b)
{
    return u32Attribute(a, Kind::Address, IFA_LOCAL, 0) == u32Attribute(b, Kind::Address, IFA_LOCAL, 0)
        && static_cast<const ifaddrmsg *>(nlmsg_data(header(a)))->ifa_prefixlen
        == static_cast<const ifaddrmsg *>(nlmsg_data(header(b)))->ifa_prefixlen;
}

sys::Error text(int rc, const char *what)
{
    return std::string(what) + ": " + nl_geterror(rc);
}

} // namespace

sys::Error save(int ifindex, Copy *saved)
{
    Socket socket(nl_socket_alloc());
    if (!socket)
        return text(-NLE_NOMEM, "The interface's configuration can't be read");
    int rc = nl_connect(socket.get(), NETLINK_ROUTE);
    if (rc >= 0)
        rc = dump(socket.get(), Kind::Address, ifindex, &saved->addresses);
    if (rc >= 0)
        rc = dump(socket.get(), Kind::Route, ifindex, &saved->routes);
    return rc < 0 ? text(rc, "The interface's configuration can't be read") : sys::Error();
}

sys::Error restore(const rtnl::Link &link, const Copy &saved)
{
    Socket socket(nl_socket_alloc());
    if (!socket || nl_connect(socket.get(), NETLINK_ROUTE) < 0)
        return "The interface's configuration can't be restored: no netlink socket.";
    Copy now;
    int rc = dump(socket.get(), Kind::Address, link.index, &now.addresses);
    if (rc < 0)
        return text(rc, "The interface's addresses can't be read");
    // The saved addresses first, each as it was; an address whose label or
    // broadcast differs has to go before it can come back.
    const std::string promote = procfs::promoteSecondaries(link.name);
    procfs::setPromoteSecondaries(link.name, "1");
    for (const Message &a : saved.addresses) {
        if (containsLike(now.addresses, a, Kind::Address))
            continue;
        rc = send(socket.get(), a, Kind::Address, RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE);
        std::vector<Message> after;
        if (rc >= 0 && (rc = dump(socket.get(), Kind::Address, link.index, &after)) >= 0 && !containsLike(after, a, Kind::Address)) {
            send(socket.get(), a, Kind::Address, RTM_DELADDR, 0);
            rc = send(socket.get(), a, Kind::Address, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
        }
        if (rc < 0)
            break;
    }
    for (auto a = now.addresses.rbegin(); rc >= 0 && a != now.addresses.rend(); ++a) {
        if (std::none_of(saved.addresses.begin(), saved.addresses.end(), [&](const Message &s) { return sameAddress(s, *a); }))
            send(socket.get(), *a, Kind::Address, RTM_DELADDR, 0);
    }
    if (!promote.empty())
        procfs::setPromoteSecondaries(link.name, promote);
    if (rc < 0)
        return text(rc, "The interface's addresses can't be put back");

    if ((rc = dump(socket.get(), Kind::Route, link.index, &now.routes)) < 0)
        return text(rc, "The interface's routes can't be read");
    // A route through a gateway needs the route that reaches the gateway:
    // what fails is tried again as long as others get in.
    std::vector<Message> missing;
    for (const Message &r : saved.routes) {
        if (!containsLike(now.routes, r, Kind::Route))
            missing.push_back(r);
    }
    for (std::size_t before = missing.size() + 1; !missing.empty() && missing.size() < before;) {
        before = missing.size();
        std::vector<Message> failed;
        for (const Message &r : missing) {
            rc = send(socket.get(), r, Kind::Route, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_APPEND);
            if (rc < 0 && rc != -NLE_EXIST)
                failed.push_back(r);
        }
        missing.swap(failed);
    }
    if (!missing.empty())
        return text(rc, "The interface's routes can't be put back");
    for (const Message &r : now.routes) {
        if (!containsLike(saved.routes, r, Kind::Route))
            send(socket.get(), r, Kind::Route, RTM_DELROUTE, 0);
    }
    Copy after;
    if (!save(link.index, &after).empty() || after.addresses.size() != saved.addresses.size()
        || after.routes.size() != saved.routes.size())
        return "The interface's configuration could not be put back as it was.";
    return sys::Error();
}

} // namespace verbatim
