#include "netns.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testnet {

namespace {

ino_t namespaceInode(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 ? st.st_ino : 0;
}

// True only when the namespace is known to differ from init's and from the
// parent's (CTest, which starts the test through unshare). Where init's can't
// be read (a hardened or virtualised init hides it even from root) the
// parent's must still show a difference: an unreadable link proves nothing.
bool ownNamespace(const char *kind)
{
    const QByteArray name = QByteArray("/ns/") + kind;
    const ino_t own = namespaceInode(QByteArray("/proc/self" + name).constData());
    const ino_t init = namespaceInode(QByteArray("/proc/1" + name).constData());
    const ino_t parent = namespaceInode(QByteArray("/proc/" + QByteArray::number(getppid()) + name).constData());
    return own != 0 && (init != 0 || parent != 0) && own != init && own != parent;
}

QString prefixMask(int prefix)
{
    const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(mask >> 24).arg((mask >> 16) & 0xff).arg((mask >> 8) & 0xff).arg(mask & 0xff);
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
    if (!process.waitForStarted(5000))
        return -1;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(1000);
        return -1;
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool ip(const QStringList &arguments)
{
    QString output;
    if (run(QStringLiteral("ip"), arguments, &output) == 0)
        return true;
    const QString message = QStringLiteral("ip %1: %2").arg(arguments.join(QLatin1Char(' ')), output.trimmed());
    QTest::qFail(qPrintable(message), __FILE__, __LINE__);
    return false;
}

QJsonArray ipJson(const QStringList &arguments)
{
    QString output;
    if (run(QStringLiteral("ip"), QStringList{QStringLiteral("-j")} + arguments, &output) != 0)
        return QJsonArray();
    return QJsonDocument::fromJson(output.toUtf8()).array();
}

bool useResolvConf(const QString &content)
{
    // One file per test process, bind-mounted once; later calls rewrite it in
    // place (a rename onto a mount point is refused by the kernel).
    static const QString path = QStringLiteral("/tmp/vantorel-test-resolv-%1.conf").arg(getpid());
    static bool mounted = false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(content.toUtf8());
    file.close();
    if (!mounted) {
        if (!unavailable().isEmpty())
            return false;
        if (mount(QFile::encodeName(path).constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            return false;
        mounted = true;
    }
    return true;
}

// `ip netns add` names a namespace by a file in /run/netns. A tmpfs of our own
// there keeps the names inside the test's mount namespace: nothing is left
// behind for the machine's `ip netns` to trip over, even when a test dies.
static void privateNetnsFolder()
{
    static bool done = false;
    if (done || !unavailable().isEmpty())
        return;
    mkdir("/run/netns", 0755);
    done = mount("tmpfs", "/run/netns", "tmpfs", 0, "mode=755") == 0;
}

Peer::Peer(const QString &name, const QString &farAddress)
    : m_name(name)
{
    privateNetnsFolder();
    static int count = 0;
    m_netns = QStringLiteral("vt-peer-%1-%2").arg(getpid()).arg(++count);
    const QString far = name + QStringLiteral("-p");
    m_ok = ip({"netns", "add", m_netns})
        && ip({"link", "add", "name", name, "type", "veth", "peer", "name", far, "netns", m_netns})
        && ip({"-n", m_netns, "link", "set", "lo", "up"})
        && ip({"-n", m_netns, "addr", "add", farAddress, "dev", far})
        && ip({"-n", m_netns, "link", "set", far, "up"})
        && ip({"link", "set", name, "up"});
}

Peer::~Peer()
{
    stopDhcp();
    run(QStringLiteral("ip"), {"link", "del", m_name});
    run(QStringLiteral("ip"), {"netns", "del", m_netns});
    QFile::remove(QStringLiteral("/tmp/%1.leases").arg(m_netns));
}

bool Peer::startDhcp(const QString &first, const QString &last, const QString &dns)
{
    stopDhcp();
    const QJsonArray far = ipJson({"-n", m_netns, "-4", "addr", "show", "dev", m_name + "-p"});
    const QJsonArray addresses = far.isEmpty() ? QJsonArray() : far.at(0).toObject().value("addr_info").toArray();
    if (addresses.isEmpty())
        return false;
    const QString router = addresses.at(0).toObject().value("local").toString();
    const QString mask = prefixMask(addresses.at(0).toObject().value("prefixlen").toInt());
    const QString leases = QStringLiteral("/tmp/%1.leases").arg(m_netns);
    QFile::remove(leases);

    const QList<QByteArray> args = {
        "ip", "netns", "exec", m_netns.toUtf8(), "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
        "--port=0", "--bind-interfaces", "--interface=" + (m_name + "-p").toUtf8(), "--user=root",
        "--pid-file=", "--dhcp-authoritative", "--dhcp-leasefile=" + leases.toUtf8(),
        "--dhcp-range=" + QStringLiteral("%1,%2,%3,1h").arg(first, last, mask).toUtf8(),
        "--dhcp-option=option:router," + router.toUtf8(),
        "--dhcp-option=option:dns-server," + dns.toUtf8()};
    std::vector<char *> argv;
    for (const QByteArray &arg : args)
        argv.push_back(const_cast<char *>(arg.constData()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // The server dies with the test, whatever way the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    m_dnsmasq = pid;
    // Give it a moment to bind; DHCP clients retry anyway.
    for (int i = 0; i < 20; ++i) {
        QString sockets;
        run(QStringLiteral("ip"), {"netns", "exec", m_netns, "ss", "-uln"}, &sockets);
        if (sockets.contains(QLatin1String(":67 ")))
            return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            m_dnsmasq = 0;
            return false;
        }
        QThread::msleep(100);
    }
    return true;
}

void Peer::stopDhcp()
{
    if (m_dnsmasq <= 0)
        return;
    kill(pid_t(m_dnsmasq), SIGTERM);
    waitpid(pid_t(m_dnsmasq), nullptr, 0);
    m_dnsmasq = 0;
}

} // namespace testnet
