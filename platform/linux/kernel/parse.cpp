#include "kernel/parse.h"

#include <netlink/attr.h>
#include <netlink/msg.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

namespace rtnl::parse {

namespace {

// Checks the types of the attributes it names; the rest pass unchecked, and
// attributes beyond `max` (newer than these headers) are skipped.
std::vector<nla_policy> policy(int max, std::initializer_list<std::pair<int, uint16_t>> types)
{
    std::vector<nla_policy> p(max + 1, nla_policy{});
    for (const auto &[attribute, type] : types)
        p[attribute].type = type;
    return p;
}

uint32_t inet(const nlattr *a)
{
    uint32_t value = 0;
    if (a && nla_len(a) == sizeof value)
        value = nla_get_u32(const_cast<nlattr *>(a));   // kept in network byte order
    return value;
}

std::vector<uint8_t> bytesOf(const nlattr *a)
{
    const auto *bytes = static_cast<const uint8_t *>(nla_data(a));
    return std::vector<uint8_t>(bytes, bytes + nla_len(a));
}

// The message's family header, with its attributes in `tb` (Max + 1 slots),
// when it is of the type and its attributes are well formed; null otherwise.
template <typename Header, int Max>
const Header *open(const nlmsghdr *message, uint16_t type, nlattr *(&tb)[Max + 1], const std::vector<nla_policy> &types)
{
    // libnl's parsers take the header and the policy as writable; they only read them.
    if (message->nlmsg_type != type
        || nlmsg_parse(const_cast<nlmsghdr *>(message), sizeof(Header), tb, Max, const_cast<nla_policy *>(types.data())) < 0)
        return nullptr;
    return static_cast<const Header *>(nlmsg_data(message));
}

} // namespace

bool link(const nlmsghdr *message, Link *link)
{
    static const std::vector<nla_policy> types = policy(IFLA_MAX, {{IFLA_IFNAME, NLA_STRING}});
    nlattr *tb[IFLA_MAX + 1];
    const auto *ifi = open<ifinfomsg, IFLA_MAX>(message, RTM_NEWLINK, tb, types);
    if (!ifi)
        return false;
    *link = Link();
    link->index = ifi->ifi_index;
    link->arptype = ifi->ifi_type;
    link->flags = ifi->ifi_flags;
    if (tb[IFLA_IFNAME])
        link->name = nla_get_string(tb[IFLA_IFNAME]);
    if (tb[IFLA_ADDRESS])
        link->address = bytesOf(tb[IFLA_ADDRESS]);
    // Linux 5.6 and later; only for a device that has a permanent address.
    if (tb[IFLA_PERM_ADDRESS])
        link->permanent = bytesOf(tb[IFLA_PERM_ADDRESS]);
    // The link's kind ("veth", ...) is part of what identifies it to its records.
    if (tb[IFLA_LINKINFO]) {
        nlattr *info[IFLA_INFO_MAX + 1];
        if (nla_parse_nested(info, IFLA_INFO_MAX, tb[IFLA_LINKINFO], nullptr) == 0 && info[IFLA_INFO_KIND])
            link->kind.assign(static_cast<const char *>(nla_data(info[IFLA_INFO_KIND])),
                              strnlen(static_cast<const char *>(nla_data(info[IFLA_INFO_KIND])),
                                      size_t(nla_len(info[IFLA_INFO_KIND]))));
    }
    return true;
}

bool address(const nlmsghdr *message, int *ifindex, Address4 *address)
{
    static const std::vector<nla_policy> types = policy(IFA_MAX, {{IFA_FLAGS, NLA_U32}});
    nlattr *tb[IFA_MAX + 1];
    const auto *ifa = open<ifaddrmsg, IFA_MAX>(message, RTM_NEWADDR, tb, types);
    if (!ifa || ifa->ifa_family != AF_INET)
        return false;
    *ifindex = int(ifa->ifa_index);
    // IFA_LOCAL is the interface's own address; only a point-to-point one
    // has an IFA_ADDRESS that differs (the peer).
    address->address = inet(tb[IFA_LOCAL] ? tb[IFA_LOCAL] : tb[IFA_ADDRESS]);
    address->prefix = ifa->ifa_prefixlen;
    const uint32_t flags = tb[IFA_FLAGS] ? nla_get_u32(tb[IFA_FLAGS]) : ifa->ifa_flags;
    // The kernel marks every address without a finite lifetime IFA_F_PERMANENT.
    address->permanent = flags & IFA_F_PERMANENT;
    address->secondary = flags & IFA_F_SECONDARY;
    return true;
}

bool route(const nlmsghdr *message, Route *route)
{
    static const std::vector<nla_policy> types
        = policy(RTA_MAX, {{RTA_OIF, NLA_U32}, {RTA_PRIORITY, NLA_U32}, {RTA_TABLE, NLA_U32}});
    nlattr *tb[RTA_MAX + 1];
    const auto *rtm = open<rtmsg, RTA_MAX>(message, RTM_NEWROUTE, tb, types);
    if (!rtm || rtm->rtm_family != AF_INET)
        return false;
    *route = Route();
    route->table = tb[RTA_TABLE] ? nla_get_u32(tb[RTA_TABLE]) : rtm->rtm_table;
    route->type = rtm->rtm_type;
    route->protocol = rtm->rtm_protocol;
    route->flags = rtm->rtm_flags;
    route->destinationLength = rtm->rtm_dst_len;
    route->metric = tb[RTA_PRIORITY] ? nla_get_u32(tb[RTA_PRIORITY]) : 0;
    const auto hop = [&](int ifindex, const nlattr *gateway) {
        if (std::none_of(route->hops.begin(), route->hops.end(), [&](const auto &h) { return h.first == ifindex; }))
            route->hops.emplace_back(ifindex, inet(gateway));
    };
    if (tb[RTA_OIF])
        hop(int(nla_get_u32(tb[RTA_OIF])), tb[RTA_GATEWAY]);
    if (tb[RTA_MULTIPATH]) {
        // rtnetlink(7): a list of struct rtnexthop, each followed by its own attributes.
        int left = nla_len(tb[RTA_MULTIPATH]);
        // RTNH_OK reads rtnh_len before it looks at what is left: check the room first.
        for (auto *nh = static_cast<rtnexthop *>(nla_data(tb[RTA_MULTIPATH]));
             left >= int(sizeof *nh) && RTNH_OK(nh, left);
             left -= NLMSG_ALIGN(nh->rtnh_len), nh = RTNH_NEXT(nh)) {
            nlattr *inner[RTA_MAX + 1];
            if (nla_parse(inner, RTA_MAX, reinterpret_cast<nlattr *>(RTNH_DATA(nh)), nh->rtnh_len - int(sizeof *nh),
                          const_cast<nla_policy *>(types.data())) == 0)
                hop(nh->rtnh_ifindex, inner[RTA_GATEWAY]);
        }
    }
    return true;
}

bool Route::isDefault() const
{
    return table == RT_TABLE_MAIN && type == RTN_UNICAST && destinationLength == 0;
}

bool Route::defaultThrough(int ifindex, Route4 *route) const
{
    if (!isDefault())
        return false;
    for (const auto &[index, gateway] : hops) {
        if (index == ifindex) {
            route->gateway = gateway;
            route->metric = metric;
            route->protocol = protocol;
            return true;
        }
    }
    return false;
}

} // namespace rtnl::parse
