// Test networks for system tests. CTest starts every test labelled "system" as
// root under `unshare --net --mount --propagation private`: from its first
// instruction the machine's own interfaces are out of sight, and a resolver file
// bind-mounted over /etc/resolv.conf is seen by this process and its children only.
#pragma once

#include <QJsonArray>
#include <QStringList>

#include <memory>

class QProcess;

namespace testnet {

// Empty when the test may change the network: root, in a network namespace of
// its own. Otherwise the reason, for QSKIP.
QString unavailable();

// Runs a program to its end (30 s at most); its exit code, -1 when it could not
// be started. Standard output and error are collected into *output.
int run(const QString &program, const QStringList &arguments, QString *output = nullptr);
// run("ip", arguments); fails the current test (QTest) when ip exits non-zero.
bool ip(const QStringList &arguments);
// `ip -j <arguments>` parsed, for comparing with what the program shows.
QJsonArray ipJson(const QStringList &arguments);

// The interface's IPv4 addresses as "a.b.c.d/nn", as ip shows them.
QStringList addressesOf(const QString &dev);
// The dhcpcd processes serving this test's network namespace (other tests may run their own).
QStringList dhcpClients();

// Makes /etc/resolv.conf read `content` for this process and its children.
bool useResolvConf(const QString &content);

// A veth pair whose far end sits in a second network namespace, where a DHCP
// server can run. The near end (`name`) stays in the test's namespace, up and
// without addresses. Destroying it stops the server and removes both.
class Peer
{
public:
    // farAddress like "10.77.0.1/24": the far end's address.
    Peer(const QString &name, const QString &farAddress);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool ok() const { return m_ok; }

    // dnsmasq on the far end, leasing first..last (e.g. "10.77.0.50", "10.77.0.60")
    // with the far end as router and `dns` as DNS server. It dies with the test.
    bool startDhcp(const QString &first, const QString &last, const QString &dns);

private:
    QString m_name;
    QString m_netns;
    std::unique_ptr<QProcess> m_dnsmasq;
    bool m_ok = false;
};

} // namespace testnet
