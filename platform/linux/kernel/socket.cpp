#include "kernel/socket.h"

#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <cstdlib>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

namespace rtnl {

namespace {

struct MsgFree { void operator()(nl_msg *m) const { nlmsg_free(m); } };
struct BufferFree { void operator()(unsigned char *b) const { std::free(b); } };

bool isAddress(const nlmsghdr *h)
{
    return h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR;
}

int familyHeaderSize(const nlmsghdr *h)
{
    return isAddress(h) ? int(sizeof(ifaddrmsg)) : int(sizeof(rtmsg));
}

// State the kernel reports on a route or a hop but takes no orders about.
constexpr unsigned routeStateFlags = RTNH_F_DEAD | RTNH_F_LINKDOWN | RTNH_F_OFFLOAD | RTNH_F_TRAP;

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

// Hands the messages of one datagram on; true at the end of the dump. A
// kernel error ends it too, with its text in *error.
bool deliver(unsigned char *bytes, int length, uint32_t seq, const std::function<void(const nlmsghdr *)> &visit,
             Error *error)
{
    for (auto *h = reinterpret_cast<nlmsghdr *>(bytes); nlmsg_ok(h, length); h = nlmsg_next(h, &length)) {
        if (seq && h->nlmsg_seq != seq)
            continue;   // the rest of an earlier request's answer
        if (h->nlmsg_type == NLMSG_DONE)
            return true;
        if (h->nlmsg_type == NLMSG_ERROR) {
            const auto *e = static_cast<const nlmsgerr *>(nlmsg_data(h));
            if (e->error != 0)
                *error = nl_geterror(nl_syserr2nlerr(-e->error));
            return true;
        }
        visit(h);
    }
    return false;
}

} // namespace

void SocketFree::operator()(nl_sock *socket) const
{
    nl_socket_free(socket);
}

Socket connect(Error *error, uint32_t groups)
{
    Socket socket(nl_socket_alloc());
    if (!socket) {
        *error = errorText(NLE_NOMEM);
        return nullptr;
    }
    // The dump loop reads past libnl, which then expects the dump's sequence
    // number forever after: the loop checks them itself, and a change waits
    // for the one answer to its one request.
    nl_socket_disable_seq_check(socket.get());
    int rc = 0;
    if (groups) {
        nl_join_groups(socket.get(), int(groups));
    } else {
        // One read per datagram: the kernel fills a dump's datagrams up to the
        // reader's buffer, at most 32 KiB, and one message never comes near 64 KiB.
        nl_socket_disable_msg_peek(socket.get());
        rc = nl_socket_set_msg_buf_size(socket.get(), 65536);
    }
    if (rc == 0)
        rc = nl_connect(socket.get(), NETLINK_ROUTE);
    if (rc < 0) {
        *error = errorText(rc);
        return nullptr;
    }
    return socket;
}

bool dump(nl_sock *socket, int type, const std::function<void(const nlmsghdr *)> &visit, Error *error)
{
    error->clear();
    uint32_t seq = 0;
    int rc = request(socket, type, &seq);
    for (bool done = false; rc >= 0 && !done;) {
        sockaddr_nl peer {};
        unsigned char *raw = nullptr;
        rc = nl_recv(socket, &peer, &raw, nullptr);
        std::unique_ptr<unsigned char, BufferFree> bytes(raw);
        if (rc > 0)
            done = deliver(bytes.get(), rc, seq, visit, error);
        else if (rc == 0)
            rc = -NLE_MSG_TRUNC;   // the socket ended before the dump did
    }
    if (rc < 0)
        *error = errorText(rc);
    return error->empty();
}

Message normalized(const Message &m, bool keepLifetime)
{
    const auto *in = reinterpret_cast<const nlmsghdr *>(m.data());
    const bool address = isAddress(in);
    const int familySize = familyHeaderSize(in);
    Message out(m.begin(), m.begin() + NLMSG_HDRLEN + familySize);
    auto *h = reinterpret_cast<nlmsghdr *>(out.data());
    h->nlmsg_flags = 0;
    h->nlmsg_seq = 0;
    h->nlmsg_pid = 0;
    if (address)
        static_cast<ifaddrmsg *>(nlmsg_data(h))->ifa_flags &= ~(IFA_F_SECONDARY | IFA_F_PERMANENT);
    else
        static_cast<rtmsg *>(nlmsg_data(h))->rtm_flags &= ~routeStateFlags;
    nlattr *a = nlmsg_attrdata(in, familySize);
    for (int remaining = nlmsg_attrlen(in, familySize); nla_ok(a, remaining); a = nla_next(a, &remaining)) {
        if (address && nla_type(a) == IFA_CACHEINFO && !keepLifetime)
            continue;
        const std::size_t at = out.size();
        out.insert(out.end(), reinterpret_cast<uint8_t *>(a), reinterpret_cast<uint8_t *>(a) + NLA_ALIGN(a->nla_len));
        auto *copy = reinterpret_cast<nlattr *>(out.data() + at);
        if (address && nla_type(copy) == IFA_FLAGS)
            *static_cast<uint32_t *>(nla_data(copy)) &= ~uint32_t(IFA_F_SECONDARY);
    }
    reinterpret_cast<nlmsghdr *>(out.data())->nlmsg_len = uint32_t(out.size());
    return out;
}

int sendBack(nl_sock *socket, const Message &m, int type, int flags)
{
    const Message body = normalized(m, true);
    std::unique_ptr<nl_msg, MsgFree> msg(nlmsg_alloc_simple(type, flags));
    if (!msg)
        return -NLE_NOMEM;
    int rc = nlmsg_append(msg.get(), const_cast<uint8_t *>(body.data()) + NLMSG_HDRLEN,
                          body.size() - NLMSG_HDRLEN, NLMSG_ALIGNTO);
    if (rc >= 0)
        rc = nl_send_auto(socket, msg.get());
    return rc < 0 ? rc : nl_wait_for_ack(socket);
}

Error errorText(int code, const char *what)
{
    const std::string words = nl_geterror(code < 0 ? code : -code);
    return what ? std::string(what) + ": " + words : words;
}

} // namespace rtnl
