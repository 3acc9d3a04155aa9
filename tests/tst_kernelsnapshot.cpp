// The join of the three dumps, fed with messages as the kernel words them:
// which addresses and default routes land on which interface, in which order.
#include "kernelsnapshot_linux.h"

#include <QtTest>

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <netlink/attr.h>
#include <netlink/msg.h>

#include <functional>
#include <memory>

namespace {

using Message = std::function<void(std::vector<uint8_t> *)>;

struct MsgFree { void operator()(nl_msg *m) const { nlmsg_free(m); } };

template <typename Header>
Message message(int type, Header header, const std::function<void(nl_msg *)> &attributes)
{
    return [=](std::vector<uint8_t> *datagram) {
        std::unique_ptr<nl_msg, MsgFree> m(nlmsg_alloc_simple(type, NLM_F_MULTI));
        nlmsg_append(m.get(), const_cast<Header *>(&header), sizeof header, NLMSG_ALIGNTO);
        attributes(m.get());
        const nlmsghdr *h = nlmsg_hdr(m.get());
        const auto *bytes = reinterpret_cast<const uint8_t *>(h);
        datagram->insert(datagram->end(), bytes, bytes + NLMSG_ALIGN(h->nlmsg_len));
    };
}

uint32_t inet(const char *text)
{
    in_addr a {};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

Message link(int index, const char *name)
{
    ifinfomsg header {};
    header.ifi_index = index;
    return message(RTM_NEWLINK, header, [=](nl_msg *m) { nla_put_string(m, IFLA_IFNAME, name); });
}

// flags: IFA_F_*; peer: a point-to-point address's far end, or null.
Message address(int index, const char *local, int prefix, uint32_t flags, const char *peer = nullptr)
{
    ifaddrmsg header {};
    header.ifa_family = AF_INET;
    header.ifa_index = index;
    header.ifa_prefixlen = prefix;
    return message(RTM_NEWADDR, header, [=](nl_msg *m) {
        nla_put_u32(m, IFA_LOCAL, inet(local));
        nla_put_u32(m, IFA_ADDRESS, inet(peer ? peer : local));
        nla_put_u32(m, IFA_FLAGS, flags);
    });
}

// hops: (ifindex, gateway); more than one makes a multipath route.
Message route(int prefix, uint32_t table, uint8_t type, uint32_t metric, const std::vector<std::pair<int, const char *>> &hops)
{
    rtmsg header {};
    header.rtm_family = AF_INET;
    header.rtm_dst_len = prefix;
    header.rtm_table = table < 256 ? table : RT_TABLE_UNSPEC;
    header.rtm_type = type;
    return message(RTM_NEWROUTE, header, [=](nl_msg *m) {
        nla_put_u32(m, RTA_TABLE, table);
        nla_put_u32(m, RTA_PRIORITY, metric);
        if (hops.size() == 1) {
            nla_put_u32(m, RTA_OIF, hops[0].first);
            nla_put_u32(m, RTA_GATEWAY, inet(hops[0].second));
            return;
        }
        nlattr *multipath = nla_nest_start(m, RTA_MULTIPATH);
        for (const auto &[index, gateway] : hops) {
            auto *hop = static_cast<rtnexthop *>(nlmsg_reserve(m, sizeof(rtnexthop), NLMSG_ALIGNTO));
            hop->rtnh_ifindex = index;
            const int start = nlmsg_hdr(m)->nlmsg_len;
            nla_put_u32(m, RTA_GATEWAY, inet(gateway));
            hop->rtnh_len = sizeof(rtnexthop) + nlmsg_hdr(m)->nlmsg_len - start;
        }
        nla_nest_end(m, multipath);
    });
}

} // namespace

Q_DECLARE_METATYPE(std::vector<Message>)

class tst_kernelsnapshot : public QObject
{
    Q_OBJECT

private slots:
    void join_data();
    void join();
};

// Interfaces 2 and 3; each row adds messages and names what interface 2 and 3 show.
void tst_kernelsnapshot::join_data()
{
    QTest::addColumn<std::vector<Message>>("messages");
    QTest::addColumn<QStringList>("shown");   // per interface: "addresses | gateways@metric"
    const uint32_t main = RT_TABLE_MAIN;
    QTest::newRow("primary before secondary")
        << std::vector<Message>{address(2, "10.0.0.3", 24, IFA_F_PERMANENT | IFA_F_SECONDARY), address(2, "10.0.0.2", 24, IFA_F_PERMANENT)}
        << QStringList{"10.0.0.2/24 10.0.0.3/24 |", "|"};
    QTest::newRow("dynamic and point-to-point")
        << std::vector<Message>{address(3, "10.9.0.1", 32, 0, "10.9.0.2")} << QStringList{"|", "10.9.0.1/32~ |"};
    QTest::newRow("default routes by metric")
        << std::vector<Message>{route(0, main, RTN_UNICAST, 20, {{2, "10.0.0.254"}}), route(0, main, RTN_UNICAST, 10, {{2, "10.0.0.1"}})}
        << QStringList{"| 10.0.0.1@10 10.0.0.254@20", "|"};
    QTest::newRow("main table only") << std::vector<Message>{route(0, 100, RTN_UNICAST, 0, {{2, "10.0.0.1"}}),
                                                             route(0, 1000, RTN_UNICAST, 0, {{2, "10.0.0.2"}})}
                                     << QStringList{"|", "|"};
    QTest::newRow("default and unicast only")
        << std::vector<Message>{route(8, main, RTN_UNICAST, 0, {{2, "10.0.0.1"}}), route(0, main, RTN_UNREACHABLE, 0, {{2, "10.0.0.1"}})}
        << QStringList{"|", "|"};
    QTest::newRow("multipath: each interface its hop")
        << std::vector<Message>{route(0, main, RTN_UNICAST, 5, {{2, "10.0.0.1"}, {3, "10.1.0.1"}})}
        << QStringList{"| 10.0.0.1@5", "| 10.1.0.1@5"};
    QTest::newRow("unknown interface") << std::vector<Message>{address(9, "10.0.0.2", 24, IFA_F_PERMANENT),
                                                               route(0, main, RTN_UNICAST, 0, {{9, "10.0.0.1"}})}
                                       << QStringList{"|", "|"};
}

void tst_kernelsnapshot::join()
{
    QFETCH(std::vector<Message>, messages);
    QFETCH(QStringList, shown);
    // Links in one datagram, the rest in another, as three dumps deliver them.
    std::vector<std::vector<uint8_t>> datagrams(2);
    link(3, "eth1")(&datagrams[0]);
    link(2, "eth0")(&datagrams[0]);
    for (const Message &m : messages)
        m(&datagrams[1]);

    QStringList actual;
    QStringList names;
    for (const kernelsnapshot::Interface &i : kernelsnapshot::fromDatagrams(datagrams)) {
        names << QString::fromStdString(i.link.name);
        QStringList text;
        for (const rtnl::Address4 &a : i.addresses)
            text << QString::fromStdString(rtnl::toText(a)) + (a.permanent ? "" : "~");
        text << "|";
        for (const rtnl::Route4 &r : i.defaultRoutes)
            text << QString::fromStdString(rtnl::toText(r.gateway)) + "@" + QString::number(r.metric);
        actual << text.join(' ');
    }
    QCOMPARE(names, (QStringList{"eth0", "eth1"}));   // by index
    QCOMPARE(actual, shown);
}

QTEST_GUILESS_MAIN(tst_kernelsnapshot)
#include "tst_kernelsnapshot.moc"
