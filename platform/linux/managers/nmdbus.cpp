#include "managers/nmdbus.h"

#include "kernel/netns.h"
#include "kernel/rtnl.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace nmdbus {

namespace {

// Update2 flag: write the profile to its file.
constexpr uint toDisk = 0x1;
constexpr int callLimitMs = 10000;
constexpr int changeLimitMs = 40000;
QDeadlineTimer end(QDeadlineTimer::Forever);

// QtDBus wants an application object; netsh has none of its own.
void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "vantorel";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

// How long the bus may take to answer the first line of its handshake.
constexpr int answerLimitMs = 5000;

// Why the bus (found once per process) or, in the last look, the bus or
// NetworkManager is there but did not answer; empty while they do.
QString busSilence;
QString silence;

enum class Bus { Absent, Answers, Silent };

// The socket of a "unix:path=..." or "unix:abstract=..." address ("%xx" escapes
// allowed); false for any other kind, which QtDBus is left to try.
bool socketAddress(const QByteArray &addresses, sockaddr_un *where, socklen_t *size)
{
    for (const QByteArray &address : addresses.split(';')) {
        if (!address.startsWith("unix:"))
            continue;
        for (const QByteArray &pair : address.mid(5).split(',')) {
            const bool abstract = pair.startsWith("abstract=");
            if (!abstract && !pair.startsWith("path="))
                continue;
            const QByteArray path = QByteArray::fromPercentEncoding(pair.mid(pair.indexOf('=') + 1));
            if (path.size() + 1 >= int(sizeof where->sun_path))
                return false;
            *where = {};
            where->sun_family = AF_UNIX;
            std::memcpy(where->sun_path + (abstract ? 1 : 0), path.constData(), size_t(path.size()));
            // An abstract name is as long as it is, with no terminating zero.
            *size = abstract ? socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(path.size())) : socklen_t(sizeof *where);
            return true;
        }
    }
    return false;
}

// Whether the bus answers the start of the handshake within the time limit:
// QtDBus would wait for good on a socket that accepts and never reads. A
// signal ends the wait.
Bus probe(const QByteArray &address)
{
    sockaddr_un where;
    socklen_t size = 0;
    if (!socketAddress(address, &where, &size))
        return Bus::Answers;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Bus::Absent;
    const QByteArray hello = QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(::getuid()).toHex() + "\r\n";
    QElapsedTimer timer;
    timer.start();
    const auto wait = [&](short events) {
        pollfd p = {fd, events, 0};
        const int left = int(answerLimitMs - timer.elapsed());
        return left > 0 && ::poll(&p, 1, left) == 1;
    };
    Bus bus = Bus::Silent;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&where), size) != 0 && errno != EINPROGRESS)
        bus = Bus::Absent;
    else if (wait(POLLOUT) && ::send(fd, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size()) {
        char reply[256];
        // Any reply line will do: OK, or a rejection that QtDBus reports at once.
        for (QByteArray line; bus == Bus::Silent && wait(POLLIN);) {
            const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
            if (n <= 0)
                break;
            line.append(reply, int(n));
            if (line.contains("\r\n"))
                bus = Bus::Answers;
        }
    }
    ::close(fd);
    return bus;
}

// The system bus, connected once per process; null when there is none, found
// without a time-out: no address and no socket means no bus.
QDBusConnection *bus()
{
    static QDBusConnection *connection = [] () -> QDBusConnection * {
        struct stat st;
        if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS") && ::stat("/run/dbus/system_bus_socket", &st) != 0)
            return nullptr;
        QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        const Bus answer = probe(address.isEmpty() ? QByteArray("unix:path=/run/dbus/system_bus_socket") : address);
        if (answer == Bus::Silent)
            busSilence = QStringLiteral("the system bus did not answer within %1 s").arg(answerLimitMs / 1000);
        if (answer != Bus::Answers)
            return nullptr;
        ensureApplication();
        qDBusRegisterMetaType<Settings>();
        qDBusRegisterMetaType<Objects>();
        qDBusRegisterMetaType<QList<QVariantMap>>();
        qDBusRegisterMetaType<QList<uint>>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        QDBusConnection system = QDBusConnection::systemBus();
        return system.isConnected() ? new QDBusConnection(system) : nullptr;
    }();
    return connection;
}

// A reply that did not come in time.
bool unanswered(const QDBusMessage &reply)
{
    const QString name = reply.errorName();
    if (name != QLatin1String("org.freedesktop.DBus.Error.NoReply") && name != QLatin1String("org.freedesktop.DBus.Error.Timeout")
        && name != QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return false;
    silence = reply.errorMessage();
    return true;
}

enum class Serves { No, Yes, Unknown };

// NetworkManager is on the bus and manages this network namespace's devices:
// its process lives in it. One serving another namespace is not ours to drive,
// even when a device there has the name of one here. Only a privileged
// process may look at another's namespace; others learn it from the devices.
Serves servesHere()
{
    if (!bus())
        return Serves::No;
    const QDBusMessage reply = call(QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                                    QStringLiteral("GetConnectionUnixProcessID"), {service},
                                    QStringLiteral("org.freedesktop.DBus"));
    if (failed(reply)) {
        unanswered(reply);
        return Serves::No;
    }
    const netns::Id own = netns::current();
    const netns::Id its = netns::of(std::to_string(reply.arguments().value(0).toUInt()));
    if (!own.known() || !its.known())
        return Serves::Unknown;
    return own == its ? Serves::Yes : Serves::No;
}

// The device is this namespace's interface of that name: the same hardware
// address.
bool isOurs(const QString &ifname, const QVariantMap &properties, const std::map<std::string, rtnl::Link> &links)
{
    const auto link = links.find(ifname.toStdString());
    if (link == links.end())
        return false;
    QString mac;
    for (uint8_t byte : link->second.address)
        mac += QStringLiteral("%1:").arg(byte, 2, 16, QLatin1Char('0'));
    mac.chop(1);
    return properties.value(QStringLiteral("HwAddress")).toString().compare(mac, Qt::CaseInsensitive) == 0;
}

} // namespace

QDBusMessage call(const QString &path, const QString &interface, const QString &method, const QVariantList &arguments,
                  const QString &destination)
{
    QDBusMessage message = QDBusMessage::createMethodCall(destination, path, interface, method);
    message.setArguments(arguments);
    // Asking must never start a NetworkManager that the machine keeps stopped.
    message.setAutoStartService(false);
    // Until the end the caller set a call may wait for the desktop user to
    // answer polkit's password prompt.
    message.setInteractiveAuthorizationAllowed(true);
    const int limitMs = end.isForever() ? callLimitMs : pastEnd() ? 1000 : int(end.remainingTime() + 1000);
    return bus()->call(message, QDBus::Block, limitMs);
}

void endBy(qint64 msFromNow)
{
    end.setRemainingTime(msFromNow);
}

bool pastEnd()
{
    return end.hasExpired();
}

TimeBox::TimeBox()
    : m_own(end.isForever())
{
    if (m_own)
        endBy(changeLimitMs);
}

TimeBox::~TimeBox()
{
    if (m_own)
        end = QDeadlineTimer(QDeadlineTimer::Forever);
}

bool failed(const QDBusMessage &reply)
{
    return reply.type() != QDBusMessage::ReplyMessage;
}

QString pathOf(const QVariant &value)
{
    const QString path = value.value<QDBusObjectPath>().path();
    return path == QLatin1String("/") ? QString() : path;
}

bool look(World *world, QString *error, bool *silent)
{
    silence.clear();
    const Serves serves = servesHere();
    if (silence.isEmpty())
        silence = busSilence;
    if (silent)
        *silent = !silence.isEmpty();
    if (serves == Serves::No) {
        if (error)
            *error = silence.isEmpty() ? QStringLiteral("it does not run in this network namespace") : silence;
        return false;
    }
    std::map<std::string, rtnl::Link> links;
    if (serves == Serves::Unknown) {
        for (const rtnl::Link &link : rtnl::links())
            links[link.name] = link;
    }
    const QDBusMessage reply = call(QStringLiteral("/org/freedesktop"), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                    QStringLiteral("GetManagedObjects"), {});
    if (failed(reply)) {
        if (silent)
            *silent = unanswered(reply);
        if (error)
            *error = reply.errorMessage();
        return false;
    }
    world->objects = cast<Objects>(reply.arguments().value(0));
    for (auto object = world->objects.cbegin(); object != world->objects.cend(); ++object) {
        const QVariantMap properties = object->value(deviceInterface);
        if (properties.isEmpty() || properties.value(QStringLiteral("State")).toUInt() == deviceUnmanaged
            || !properties.value(QStringLiteral("Managed"), true).toBool())
            continue;
        const QString ifname = properties.value(QStringLiteral("Interface")).toString();
        if (serves == Serves::Unknown && !isOurs(ifname, properties, links))
            continue;
        Device device;
        device.path = object.key().path();
        device.state = properties.value(QStringLiteral("State")).toUInt();
        const QDBusArgument reason = properties.value(QStringLiteral("StateReason")).value<QDBusArgument>();
        uint ignored = 0;
        reason.beginStructure();
        reason >> ignored >> device.reason;
        reason.endStructure();
        device.active = pathOf(properties.value(QStringLiteral("ActiveConnection")));
        device.ip4Config = pathOf(properties.value(QStringLiteral("Ip4Config")));
        for (const QDBusObjectPath &p : cast<QList<QDBusObjectPath>>(properties.value(QStringLiteral("AvailableConnections"))))
            device.available << p.path();
        if (!device.active.isEmpty()) {
            const QVariantMap active = world->objects.value(QDBusObjectPath(device.active)).value(activeInterface);
            device.profile = pathOf(active.value(QStringLiteral("Connection")));
        }
        world->devices.insert(ifname, device);
    }
    return true;
}

QStringList nameservers(const World &world, const Device &device)
{
    QStringList servers;
    const QVariantMap config = world.objects.value(QDBusObjectPath(device.ip4Config)).value(ip4Interface);
    for (const QVariantMap &server : cast<QList<QVariantMap>>(config.value(QStringLiteral("NameserverData"))))
        servers << server.value(QStringLiteral("address")).toString();
    return servers;
}

bool settingsOf(const QString &profile, Settings *settings, QString *error)
{
    const QDBusMessage reply = call(profile, profileInterface, QStringLiteral("GetSettings"), {});
    if (failed(reply)) {
        if (error)
            *error = reply.errorMessage();
        return false;
    }
    *settings = cast<Settings>(reply.arguments().value(0));
    return true;
}

QString update(const QString &profile, const Settings &settings)
{
    const QDBusMessage reply = call(profile, profileInterface, QStringLiteral("Update2"),
                                    {QVariant::fromValue(settings), toDisk, QVariantMap()});
    return failed(reply) ? reply.errorMessage() : QString();
}

} // namespace nmdbus
