#include "netns.h"

#include <QJsonDocument>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testnet {

namespace {

// What /proc shows of a process's namespace, like "net:[4026531840]"; empty when it can't.
std::string namespaceOf(const std::string &pid, const char *kind)
{
    char target[64] = {};
    return readlink(("/proc/" + pid + "/ns/" + kind).c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// True when the namespace differs from the parent's (unshare's caller) and
// from init's where that can be read.
bool ownNamespace(const char *kind)
{
    const std::string own = namespaceOf("self", kind), parent = namespaceOf(std::to_string(getppid()), kind);
    return !own.empty() && !parent.empty() && own != parent && own != namespaceOf("1", kind);
}

} // namespace

QString unavailable()
{
    if (geteuid() != 0)
        return QStringLiteral("needs root to change network interfaces");
    if (!ownNamespace("net"))
        return QStringLiteral("must run in a network namespace of its own (run it through ctest)");
    if (!ownNamespace("mnt"))
        return QStringLiteral("must run in a mount namespace of its own (run it through ctest)");
    return QString();
}

int run(const QString &program, const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return -1; // not started, or killed as `process` goes
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool ip(const QStringList &arguments)
{
    QString output;
    if (run(QStringLiteral("ip"), arguments, &output) == 0)
        return true;
    QTest::qFail(qPrintable("ip " + arguments.join(QLatin1Char(' ')) + ": " + output.trimmed()), __FILE__, __LINE__);
    return false;
}

QJsonArray ipJson(const QStringList &arguments)
{
    QString output;
    run(QStringLiteral("ip"), QStringList{QStringLiteral("-j")} + arguments, &output);
    return QJsonDocument::fromJson(output.toUtf8()).array(); // empty when ip failed
}

QStringList addressesOf(const QString &dev, bool marked)
{
    QStringList result;
    const QJsonArray links = ipJson({"-4", "addr", "show", "dev", dev});
    for (const QJsonValue &a : links.isEmpty() ? QJsonArray() : links.at(0)["addr_info"].toArray()) {
        result << QStringLiteral("%1/%2").arg(a["local"].toString()).arg(a["prefixlen"].toInt());
        if (marked && a["valid_life_time"].toDouble() != 4294967295.0)
            result.last() += QLatin1Char('~');
        if (marked && a["label"].toString() != dev)
            result.last() += QLatin1Char(':') + a["label"].toString();
    }
    return result;
}

QString configOf(const QString &dev)
{
    QStringList words = addressesOf(dev, true) << QStringLiteral("|");
    for (const QJsonValue &r : ipJson({"-4", "route", "show", "default", "dev", dev}))
        words << QStringLiteral("%1 %2 %3").arg(r["gateway"].toString()).arg(r["metric"].toInt()).arg(r["protocol"].toString("boot"));
    return words.join(QLatin1Char(' '));
}

QString kernelState(const QString &except)
{
    QString addresses, routes;
    run(QStringLiteral("ip"), {"-4", "-o", "addr", "show"}, &addresses);
    run(QStringLiteral("ip"), {"-4", "-d", "route", "show", "table", "all"}, &routes);
    QRegExp replaced("^\\d+: " + except + " |^\\S+ default (.* )?dev " + except + " | dev " + except + " .*proto kernel");
    QStringList lines = (addresses + routes).split(QLatin1Char('\n'));
    if (!except.isEmpty())
        lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const QString &l) { return replaced.indexIn(l) >= 0; }), lines.end());
    return lines.join(QLatin1Char('\n')).replace(QRegExp("_lft \\d+sec"), "_lft finite").remove(" linkdown");
}

QString tool(const QString &name)
{
    return qEnvironmentVariable("VANTOREL_BUILD_DIR") + QStringLiteral("/system32/") + name;
}

int netsh(const QString &command, QString *output)
{
    return run(tool(QStringLiteral("cmd.exe")), {"/c", "netsh " + command}, output);
}

QStringList dhcpClients()
{
    QString pids;
    run(QStringLiteral("pgrep"), {"--ns", QString::number(getpid()), "--nslist", "net", "-x", "dhcpcd"}, &pids);
    return pids.split('\n', Qt::SkipEmptyParts);
}

bool useResolvConf(const QString &content)
{
    // A fresh temporary file (O_EXCL) is mounted over the resolver once and
    // goes at once: the mount keeps it alive. Later calls rewrite it in place.
    static bool mounted = false;
    if (!mounted && unavailable().isEmpty()) {
        QTemporaryFile file(QDir::tempPath() + QStringLiteral("/vantorel-test-resolv-XXXXXX"));
        mounted = file.open() && mount(QFile::encodeName(file.fileName()).constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    }
    QFile resolver(QStringLiteral("/etc/resolv.conf"));
    return mounted && resolver.open(QIODevice::WriteOnly | QIODevice::Truncate) && resolver.write(content.toUtf8()) >= 0;
}

Peer::Peer(const QString &name, const QString &farAddress)
    : m_name(name)
{
    // A tmpfs of our own on /run/netns keeps `ip netns` names inside the test's
    // mount namespace: nothing is left behind, even when a test dies.
    static const bool ownFolder = unavailable().isEmpty() && (mkdir("/run/netns", 0755) == 0 || errno == EEXIST)
        && mount("tmpfs", "/run/netns", "tmpfs", 0, "mode=755") == 0;
    static int count = 0;
    m_netns = QStringLiteral("vt-peer-%1-%2").arg(getpid()).arg(++count);
    const QString far = name + QStringLiteral("-p");
    m_ok = ownFolder && ip({"netns", "add", m_netns})
        && ip({"link", "add", "name", name, "type", "veth", "peer", "name", far, "netns", m_netns})
        && ip({"-n", m_netns, "link", "set", "lo", "up"})
        && ip({"-n", m_netns, "addr", "add", farAddress, "dev", far})
        && ip({"-n", m_netns, "link", "set", far, "up"})
        && ip({"link", "set", name, "up"});
}

Peer::~Peer()
{
    if (m_dnsmasq) {
        m_dnsmasq->terminate();
        m_dnsmasq->waitForFinished(5000);
    }
    run(QStringLiteral("ip"), {"link", "del", m_name});
    run(QStringLiteral("ip"), {"netns", "del", m_netns});
}

bool Peer::startDhcp(const QString &first, const QString &last, const QString &dns)
{
    // The parent-death signal setpriv sets survives exec but not a change of
    // user or group: hence root.
    m_dnsmasq.reset(new QProcess);
    m_dnsmasq->setProcessChannelMode(QProcess::ForwardedChannels);
    m_dnsmasq->start(QStringLiteral("setpriv"),
                     {"--pdeathsig", "KILL", "ip", "netns", "exec", m_netns, "dnsmasq", "--keep-in-foreground",
                      "--conf-file=/dev/null", "--port=0", "--user=root", "--group=root", "--pid-file=", "--leasefile-ro",
                      "--bind-interfaces", "--interface=" + m_name + "-p", "--dhcp-authoritative",
                      "--dhcp-range=" + first + "," + last + ",1h", "--dhcp-option=option:dns-server," + dns});
    // A server that can't bind ends at once.
    return m_dnsmasq->waitForStarted(5000) && !m_dnsmasq->waitForFinished(500);
}

} // namespace testnet
