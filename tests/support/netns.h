// Test networks for system tests, which CTest starts as root under
// `unshare --net --mount --propagation private`: the machine's own interfaces
// and resolver file are out of reach.
#pragma once

#include <QJsonArray>
#include <QStringList>

#include <memory>

class QProcess;

namespace testnet {

// Empty when the test may change the network, else the reason, for QSKIP.
QString unavailable();

// Runs a program to its end (30 s at most): its exit code, -1 when it failed;
// standard output and error go to *output.
int run(const QString &program, const QStringList &arguments, QString *output = nullptr);
// run("ip", arguments); fails the current test (QTest) when ip exits non-zero.
bool ip(const QStringList &arguments);
// `ip -j <arguments>` parsed, for comparing with what the program shows.
QJsonArray ipJson(const QStringList &arguments);

// The interface's IPv4 addresses as "a.b.c.d/nn", as ip shows them; `marked`: one
// with a lifetime ends in "~", one with a label of its own in ":label".
QStringList addressesOf(const QString &dev, bool marked = false);
// "10.0.0.5/24 | 10.0.0.1 1 static": the marked addresses, then the default routes
// (gateway metric protocol).
QString configOf(const QString &dev);
// Every IPv4 address and route of the namespace with every attribute ip shows,
// a line each, lifetimes that count down as "finite" and without link state,
// which settles in its own time. Without `except`'s addresses, default routes
// and those the kernel adds for its addresses, which a change of it replaces.
QString kernelState(const QString &except = QString());
// A program of ours in the build's system32/.
QString tool(const QString &name);
// `cmd.exe /c "netsh <command>"` as the worker runs it: netsh's exit code.
int netsh(const QString &command, QString *output = nullptr);
// The dhcpcd processes of this test's network namespace.
QStringList dhcpClients();

// Makes /etc/resolv.conf read `content` for this process and its children.
bool useResolvConf(const QString &content);

// A veth pair: `name` up, without addresses, in the test's namespace; its far end, with
// `farAddress` like "10.77.0.1/24", in a second namespace where a DHCP server can run.
// Both go with it.
class Peer
{
public:
    Peer(const QString &name, const QString &farAddress);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool ok() const { return m_ok; }

    // dnsmasq on the far end leasing first..last, with the far end as router
    // and `dns` as DNS server. It dies with the test.
    bool startDhcp(const QString &first, const QString &last, const QString &dns);

private:
    QString m_name;
    QString m_netns;
    std::unique_ptr<QProcess> m_dnsmasq;
    bool m_ok = false;
};

} // namespace testnet
