#include "kernel/reading.h"

#include <netlink/attr.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kernelsnapshot {

namespace {

struct SocketFree { void operator()(nl_sock *s) const { nl_socket_free(s); } };
struct MsgFree { void operator()(nl_msg *m) const { nlmsg_free(m); } };
struct BufferFree { void operator()(unsigned char *b) const { std::free(b); } };

// What the three dumps deliver, before the join.
struct Tables {
    std::vector<rtnl::Link> links;
    std::vector<std::pair<int, rtnl::Address4>> addresses;   // by ifindex, in the kernel's order
    std::vector<std::pair<int, rtnl::Route4>> routes;        // default routes, by ifindex of the hop
};

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

void parseLink(nlmsghdr *h, Tables *tables)
{
    static std::vector<nla_policy> types = policy(IFLA_MAX, {{IFLA_IFNAME, NLA_STRING}});
    nlattr *tb[IFLA_MAX + 1];
    if (nlmsg_parse(h, sizeof(ifinfomsg), tb, IFLA_MAX, types.data()) < 0)
        return;
    const auto *ifi = static_cast<const ifinfomsg *>(nlmsg_data(h));
    rtnl::Link link;
    link.index = ifi->ifi_index;
    link.arptype = ifi->ifi_type;
    link.flags = ifi->ifi_flags;
    if (tb[IFLA_IFNAME])
        link.name = nla_get_string(tb[IFLA_IFNAME]);
    if (tb[IFLA_ADDRESS]) {
        const auto *bytes = static_cast<const uint8_t *>(nla_data(tb[IFLA_ADDRESS]));
        link.address.assign(bytes, bytes + nla_len(tb[IFLA_ADDRESS]));
    }
    // The link's kind ("veth", ...) is part of what identifies it to its records.
    if (tb[IFLA_LINKINFO]) {
        nlattr *info[IFLA_INFO_MAX + 1];
        if (nla_parse_nested(info, IFLA_INFO_MAX, tb[IFLA_LINKINFO], nullptr) == 0 && info[IFLA_INFO_KIND])
            link.kind.assign(static_cast<const char *>(nla_data(info[IFLA_INFO_KIND])),
                             strnlen(static_cast<const char *>(nla_data(info[IFLA_INFO_KIND])),
                                     size_t(nla_len(info[IFLA_INFO_KIND]))));
    }
    tables->links.push_back(std::move(link));
}

void parseAddress(nlmsghdr *h, Tables *tables)
{
    static std::vector<nla_policy> types = policy(IFA_MAX, {{IFA_FLAGS, NLA_U32}});
    nlattr *tb[IFA_MAX + 1];
    if (nlmsg_parse(h, sizeof(ifaddrmsg), tb, IFA_MAX, types.data()) < 0)
        return;
    const auto *ifa = static_cast<const ifaddrmsg *>(nlmsg_data(h));
    if (ifa->ifa_family != AF_INET)
        return;
    rtnl::Address4 address;
    // IFA_LOCAL is the interface's own address; only a point-to-point one
    // has an IFA_ADDRESS that differs (the peer).
    address.address = inet(tb[IFA_LOCAL] ? tb[IFA_LOCAL] : tb[IFA_ADDRESS]);
    address.prefix = ifa->ifa_prefixlen;
    const uint32_t flags = tb[IFA_FLAGS] ? nla_get_u32(tb[IFA_FLAGS]) : ifa->ifa_flags;
    // The kernel marks every address without a finite lifetime IFA_F_PERMANENT.
    address.permanent = flags & IFA_F_PERMANENT;
    address.secondary = flags & IFA_F_SECONDARY;
    tables->addresses.emplace_back(int(ifa->ifa_index), address);
}

// A default route (0.0.0.0/0, main table, unicast) lists each interface that
// one of its hops leaves through, with that hop's gateway, once.
void parseRoute(nlmsghdr *h, Tables *tables)
{
    static std::vector<nla_policy> types = policy(RTA_MAX, {{RTA_OIF, NLA_U32}, {RTA_PRIORITY, NLA_U32}, {RTA_TABLE, NLA_U32}});
    nlattr *tb[RTA_MAX + 1];
    if (nlmsg_parse(h, sizeof(rtmsg), tb, RTA_MAX, types.data()) < 0)
        return;
    const auto *rtm = static_cast<const rtmsg *>(nlmsg_data(h));
    const uint32_t table = tb[RTA_TABLE] ? nla_get_u32(tb[RTA_TABLE]) : rtm->rtm_table;
    if (rtm->rtm_family != AF_INET || table != RT_TABLE_MAIN || rtm->rtm_type != RTN_UNICAST
        || rtm->rtm_dst_len != 0)
        return;
    const uint32_t metric = tb[RTA_PRIORITY] ? nla_get_u32(tb[RTA_PRIORITY]) : 0;
    std::vector<int> seen;
    const auto hop = [&](int ifindex, const nlattr *gateway) {
        if (std::find(seen.begin(), seen.end(), ifindex) != seen.end())
            return;
        seen.push_back(ifindex);
        rtnl::Route4 route;
        route.gateway = inet(gateway);
        route.metric = metric;
        tables->routes.emplace_back(ifindex, route);
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
                          types.data()) == 0)
                hop(nh->rtnh_ifindex, inner[RTA_GATEWAY]);
        }
    }
}

// Hands the messages of one datagram to their parsers; true at the end of the
// dump. A kernel error ends it too, with its text in *error.
bool parse(unsigned char *bytes, int length, uint32_t seq, Tables *tables, sys::Error *error)
{
    for (auto *h = reinterpret_cast<nlmsghdr *>(bytes); nlmsg_ok(h, length); h = nlmsg_next(h, &length)) {
        if (seq && h->nlmsg_seq != seq)
            continue;   // the rest of an earlier request's answer
        switch (h->nlmsg_type) {
        case NLMSG_DONE:
            return true;
        case NLMSG_ERROR: {
            const auto *e = static_cast<const nlmsgerr *>(nlmsg_data(h));
            if (e->error != 0)
                *error = nl_geterror(nl_syserr2nlerr(-e->error));
            return true;
        }
        case RTM_NEWLINK:
            parseLink(h, tables);
            break;
        case RTM_NEWADDR:
            parseAddress(h, tables);
            break;
        case RTM_NEWROUTE:
            parseRoute(h, tables);
            break;
        default:
            break;
        }
    }
    return false;
}

// One dump request: the message type with its family header and, for links,
// the request to leave out the statistics, which nothing here reads.
int request(nl_sock *socket, int type, uint32_t *seq)
{
    std::unique_ptr<nl_msg, MsgFree> m(nlmsg_alloc_simple(type, NLM_F_DUMP));
    if (!m)
        return -NLE_NOMEM;
    int rc = 0;
    if (type == RTM_GETLINK) {
        ifinfomsg header {};
        rc = nlmsg_append(m.get(), &header, sizeof header, NLMSG_ALIGNTO);
        if (rc == 0)
            rc = nla_put_u32(m.get(), IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);
    } else if (type == RTM_GETADDR) {
        ifaddrmsg header {};
        header.ifa_family = AF_INET;
        rc = nlmsg_append(m.get(), &header, sizeof header, NLMSG_ALIGNTO);
    } else {
        rtmsg header {};
        header.rtm_family = AF_INET;
        rc = nlmsg_append(m.get(), &header, sizeof header, NLMSG_ALIGNTO);
    }
    if (rc < 0)
        return rc;
    rc = nl_send_auto(socket, m.get());
    *seq = nlmsg_hdr(m.get())->nlmsg_seq;
    return rc;
}

bool dump(nl_sock *socket, int type, Tables *tables, sys::Error *error)
{
    uint32_t seq = 0;
    int rc = request(socket, type, &seq);
    for (bool done = false; rc >= 0 && !done;) {
        sockaddr_nl peer {};
        unsigned char *raw = nullptr;
        rc = nl_recv(socket, &peer, &raw, nullptr);
        std::unique_ptr<unsigned char, BufferFree> bytes(raw);
        if (rc > 0)
            done = parse(bytes.get(), rc, seq, tables, error);
        else if (rc == 0)
            rc = -NLE_MSG_TRUNC;   // the socket ended before the dump did
    }
    if (rc < 0)
        *error = nl_geterror(rc);
    return error->empty();
}

std::vector<Interface> join(Tables tables)
{
    std::vector<Interface> result;
    result.reserve(tables.links.size());
    std::map<int, size_t> at;
    for (rtnl::Link &link : tables.links) {
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
        std::stable_partition(i.addresses.begin(), i.addresses.end(),
                              [](const rtnl::Address4 &a) { return !a.secondary; });
        std::stable_sort(i.defaultRoutes.begin(), i.defaultRoutes.end(),
                         [](const rtnl::Route4 &a, const rtnl::Route4 &b) { return a.metric < b.metric; });
    }
    std::sort(result.begin(), result.end(),
              [](const Interface &a, const Interface &b) { return a.link.index < b.link.index; });
    return result;
}

} // namespace

unsigned forks()
{
    static std::atomic<unsigned> count {0};
    static const int registered = pthread_atfork(nullptr, nullptr, [] { ++count; });
    (void)registered;
    return count;
}

bool currentNamespace(dev_t *device, ino_t *inode)
{
    // ns/net is looked up afresh at every call; holding the thread's ns folder
    // open saves the walk to it through /proc, which costs as much again. A
    // forked child's folder is another one.
    struct Folder {
        int fd = -1;
        unsigned generation = 0;
        ~Folder()
        {
            if (fd >= 0)
                ::close(fd);
        }
    };
    thread_local Folder folder;
    if (folder.fd < 0 || folder.generation != forks()) {
        if (folder.fd >= 0)
            ::close(folder.fd);
        folder.fd = ::open("/proc/thread-self/ns", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder.generation = forks();
    }
    struct stat st;
    if (folder.fd < 0 || ::fstatat(folder.fd, "net", &st, 0) != 0)
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

std::vector<Interface> read(sys::Error *error)
{
    // The socket outlives the reading: making and closing one costs more than
    // dumping a few interfaces. It answers for the namespace it was made in.
    static std::mutex lock;
    static std::unique_ptr<nl_sock, SocketFree> socket;
    static dev_t socketDevice = 0;
    static ino_t socketInode = 0;
    static unsigned socketGeneration = 0;
    const std::lock_guard<std::mutex> guard(lock);

    error->clear();
    dev_t device = 0;
    ino_t inode = 0;
    if (socketGeneration != forks()) {
        socket.reset();   // the parent's, which its answers may reach first
        socketGeneration = forks();
    }
    if (!currentNamespace(&device, &inode) || device != socketDevice || inode != socketInode)
        socket.reset();
    if (!socket) {
        socket.reset(nl_socket_alloc());
        if (!socket) {
            *error = nl_geterror(NLE_NOMEM);
            return {};
        }
        // One read per datagram: the kernel fills a dump's datagrams up to the
        // reader's buffer, at most 32 KiB, and one message never comes near 64 KiB.
        nl_socket_disable_msg_peek(socket.get());
        int rc = nl_socket_set_msg_buf_size(socket.get(), 65536);
        if (rc == 0)
            rc = nl_connect(socket.get(), NETLINK_ROUTE);
        if (rc < 0) {
            socket.reset();
            *error = nl_geterror(rc);
            return {};
        }
        socketDevice = device;
        socketInode = inode;
    }
    Tables tables;
    for (const int type : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE}) {
        if (!dump(socket.get(), type, &tables, error)) {
            socket.reset();
            return {};
        }
    }
    return join(std::move(tables));
}

} // namespace kernelsnapshot
