// NetworkManager's D-Bus objects as the stand-ins read them: the system bus,
// the devices NetworkManager manages in this network namespace, and the
// settings of its connection profiles.
#pragma once

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMap>
#include <QStringList>
#include <QVariantMap>

namespace nmdbus {

// a{sa{sv}}: a connection profile's settings, section by section.
using Settings = QMap<QString, QVariantMap>;
// a{oa{sa{sv}}}: every object with the properties of each of its interfaces.
using Objects = QMap<QDBusObjectPath, Settings>;

inline const QString service = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString managerPath = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString deviceInterface = service + QStringLiteral(".Device");
inline const QString activeInterface = service + QStringLiteral(".Connection.Active");
inline const QString ip4Interface = service + QStringLiteral(".IP4Config");
inline const QString profileInterface = service + QStringLiteral(".Settings.Connection");

// NMDeviceState and NMActiveConnectionState values the code waits for.
constexpr uint deviceUnmanaged = 10;
constexpr uint deviceDisconnected = 30;
constexpr uint activeActivated = 2;
constexpr uint activeDeactivated = 4;

// A method call to NetworkManager (or `destination`), waiting for the reply
// with a time limit. It never starts a service that is not running.
QDBusMessage call(const QString &path, const QString &interface, const QString &method, const QVariantList &arguments,
                  const QString &destination = service);
bool failed(const QDBusMessage &reply);

// An object path property; empty for none ("/").
QString pathOf(const QVariant &value);

// A property of a container type, which QtDBus hands over unconverted.
template <typename T>
T cast(const QVariant &value)
{
    return value.canConvert<QDBusArgument>() ? qdbus_cast<T>(value.value<QDBusArgument>()) : value.value<T>();
}

// A device NetworkManager manages.
struct Device {
    QString path;
    uint state = 0;
    uint reason = 0;                // why it last changed state (NMDeviceStateReason)
    QString active;                 // its active connection
    QString profile;                // the profile active on it
    QString ip4Config;
    QStringList available;          // profiles it could activate
};

// The managed devices by interface name, and every object they refer to.
struct World {
    QMap<QString, Device> devices;
    Objects objects;
};

// What NetworkManager manages in this network namespace. False (with the
// reason) when there is no bus, no NetworkManager, or one that serves another
// namespace: then at once, without a D-Bus time-out.
bool look(World *world, QString *error = nullptr);

// The DNS servers of the device's IPv4 configuration.
QStringList nameservers(const World &world, const Device &device);

bool settingsOf(const QString &profile, Settings *settings, QString *error = nullptr);
// Writes the profile's settings to its file, so that they last a reboot; the
// error text, empty on success.
QString update(const QString &profile, const Settings &settings);

} // namespace nmdbus
