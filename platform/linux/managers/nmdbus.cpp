#include "managers/nmdbus.h"

#include "kernel/netns.h"
#include "kernel/rtnl.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>

#include <map>
#include <sys/stat.h>

namespace nmdbus {

namespace {

// Update2 flag: write the profile to its file.
constexpr uint toDisk = 0x1;
constexpr int callLimitMs = 10000;

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

// The system bus, connected once per process; null when there is none, found
// without a time-out: no address and no socket means no bus.
QDBusConnection *bus()
{
    static QDBusConnection *connection = [] () -> QDBusConnection * {
        struct stat st;
        if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS") && ::stat("/run/dbus/system_bus_socket", &st) != 0)
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
    return bus()->call(message, QDBus::Block, callLimitMs);
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

bool look(World *world, QString *error)
{
    const Serves serves = servesHere();
    if (serves == Serves::No) {
        if (error)
            *error = QStringLiteral("it does not run in this network namespace");
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
