#include "managers/networkmanager.h"

#include "records/records.h"
#include "managers/nmdbus.h"
#include "kernel/rtnl.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <functional>

namespace networkmanager {

namespace {

using namespace nmdbus;

constexpr int staticLimitMs = 20000;
// A reapplied address is in the kernel within milliseconds, unless
// NetworkManager found it in use on the network.
constexpr int reapplyLimitMs = 5000;
// A DHCP server may be slow; NetworkManager goes on asking after we return,
// as Windows' own client does.
constexpr int dhcpLimitMs = 8000;

bool fail(std::string *error, const QString &text)
{
    *error = text.toStdString();
    return false;
}

bool find(const std::string &ifname, World *world, Device *device, std::string *error)
{
    QString why;
    if (!look(world, &why))
        return fail(error, QStringLiteral("NetworkManager can't be asked: %1").arg(why));
    const auto it = world->devices.constFind(QString::fromStdString(ifname));
    if (it == world->devices.cend())
        return fail(error, QStringLiteral("NetworkManager does not manage '%1'.").arg(QString::fromStdString(ifname)));
    *device = *it;
    return true;
}

QString text(uint32_t address)
{
    return QString::fromStdString(rtnl::toText(address));
}

void write(const Change &change, QVariantMap *ipv4)
{
    switch (change.what) {
    case Change::StaticAddress:
    case Change::DhcpAddress: {
        const bool manual = change.what == Change::StaticAddress;
        QList<QVariantMap> addresses;
        if (manual)
            addresses.append({{QStringLiteral("address"), text(change.address)},
                              {QStringLiteral("prefix"), uint(change.prefix)}});
        ipv4->insert(QStringLiteral("method"), manual ? QStringLiteral("manual") : QStringLiteral("auto"));
        // The older "addresses" would stand beside the new list.
        ipv4->remove(QStringLiteral("addresses"));
        ipv4->insert(QStringLiteral("address-data"), QVariant::fromValue(addresses));
        if (manual && change.gateway)
            ipv4->insert(QStringLiteral("gateway"), text(change.gateway));
        else
            ipv4->remove(QStringLiteral("gateway"));
        break;
    }
    case Change::StaticDns:
    case Change::DhcpDns: {
        const bool fixed = change.what == Change::StaticDns;
        ipv4->remove(QStringLiteral("dns-data"));
        // "au" holds each address as its four bytes in network order, as ours are.
        ipv4->insert(QStringLiteral("dns"), QVariant::fromValue(fixed ? QList<uint>{change.address} : QList<uint>()));
        // A static server replaces the DHCP server's ones, as on Windows.
        ipv4->insert(QStringLiteral("ignore-auto-dns"), fixed);
        break;
    }
    }
}

bool waitFor(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString reasonText(uint reason)
{
    // The NMDeviceStateReason values a refused IPv4 change ends in.
    switch (reason) {
    case 5: return QStringLiteral("the IPv4 configuration could not be reserved (the address may be in use)");
    case 6: return QStringLiteral("the IPv4 configuration expired");
    case 7: return QStringLiteral("the IPv4 configuration was refused");
    case 8: return QStringLiteral("the carrier is down");
    case 15: return QStringLiteral("the DHCP client failed to start");
    case 16: return QStringLiteral("the DHCP client failed");
    case 17: return QStringLiteral("DHCP failed");
    case 40: return QStringLiteral("the carrier is down");
    default: return QStringLiteral("state reason %1").arg(reason);
    }
}

// Waits until the active connection is up. While DHCP still runs at the time
// limit, the change counts as made when `stillTrying` is set.
QString waitActivated(const QString &ifname, const QString &active, int limitMs, bool stillTrying)
{
    uint state = 0;
    const auto settled = [&] {
        const QDBusMessage reply = call(active, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                        {activeInterface, QStringLiteral("State")});
        state = failed(reply) ? activeDeactivated : reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
        return state == activeActivated || state == activeDeactivated;
    };
    if (waitFor(settled, limitMs) ? state == activeActivated : stillTrying)
        return QString();
    World world;
    look(&world);
    const uint reason = world.devices.value(ifname).reason;
    if (state == activeDeactivated)
        return QStringLiteral("NetworkManager could not activate '%1': %2.").arg(ifname, reasonText(reason));
    return QStringLiteral("NetworkManager did not activate '%1' within %2 s.").arg(ifname).arg(limitMs / 1000);
}

QString activate(const QString &ifname, const Device &device, const QString &profile, int limitMs, bool stillTrying)
{
    const QDBusMessage reply = call(managerPath, service, QStringLiteral("ActivateConnection"),
                                    {QVariant::fromValue(QDBusObjectPath(profile)), QVariant::fromValue(QDBusObjectPath(device.path)),
                                     QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))});
    if (failed(reply))
        return QStringLiteral("NetworkManager refused to activate '%1': %2").arg(ifname, reply.errorMessage());
    return waitActivated(ifname, pathOf(reply.arguments().value(0)), limitMs, stillTrying);
}

bool hasAddress(const std::string &ifname, const Change &change)
{
    rtnl::Link link;
    if (!rtnl::linkByName(ifname, &link))
        return false;
    for (const rtnl::Address4 &a : rtnl::addresses(link.index)) {
        if (a.address == change.address && a.prefix == change.prefix)
            return true;
    }
    return false;
}

// The device shows the change: the static address in the kernel, the static
// DNS server in NetworkManager's IPv4 configuration of the device.
bool reached(const std::string &ifname, const Change &change)
{
    if (change.what == Change::StaticAddress)
        return hasAddress(ifname, change);
    if (change.what != Change::StaticDns)
        return true;
    World world;
    return look(&world)
        && nameservers(world, world.devices.value(QString::fromStdString(ifname))).contains(text(change.address));
}

// Brings the profile's settings onto the device: a reapply where it is active,
// which keeps the link, else (or when a reapply does not show the change soon)
// an activation, which gets NetworkManager's verdict.
QString bringUp(const std::string &ifname, const Device &device, const QString &profile, const Change &change)
{
    const QString name = QString::fromStdString(ifname);
    const bool dhcp = change.what == Change::DhcpAddress;
    if (device.profile == profile) {
        const QDBusMessage reply = call(device.path, deviceInterface, QStringLiteral("Reapply"),
                                        {QVariant::fromValue(Settings()), quint64(0), uint(0)});
        if (!failed(reply) && waitFor([&] { return reached(ifname, change); }, reapplyLimitMs))
            return QString();
    }
    const QString failure = activate(name, device, profile, dhcp ? dhcpLimitMs : staticLimitMs, dhcp);
    if (!failure.isEmpty() || waitFor([&] { return reached(ifname, change); }, staticLimitMs))
        return failure;
    return QStringLiteral("NetworkManager did not apply the change to '%1' within %2 s.").arg(name).arg(staticLimitMs / 1000);
}

// A device without any profile gets one of its own, named after it.
bool addProfile(const std::string &ifname, const Device &device, const Change &change, std::string *error)
{
    const QString name = QString::fromStdString(ifname);
    Settings settings;
    settings[QStringLiteral("connection")] = {{QStringLiteral("id"), name},
                                              {QStringLiteral("type"), QStringLiteral("802-3-ethernet")},
                                              {QStringLiteral("interface-name"), name}};
    QVariantMap ipv4 = {{QStringLiteral("method"), QStringLiteral("auto")}};
    write(change, &ipv4);
    settings[QStringLiteral("ipv4")] = ipv4;
    const QDBusMessage reply = call(managerPath, service, QStringLiteral("AddAndActivateConnection"),
                                    {QVariant::fromValue(settings), QVariant::fromValue(QDBusObjectPath(device.path)),
                                     QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))});
    if (failed(reply))
        return fail(error, QStringLiteral("NetworkManager refused a profile for '%1': %2").arg(name, reply.errorMessage()));
    const bool dhcp = change.what != Change::StaticAddress;
    QString failure = waitActivated(name, pathOf(reply.arguments().value(1)), dhcp ? dhcpLimitMs : staticLimitMs, dhcp);
    if (failure.isEmpty())
        return true;
    call(pathOf(reply.arguments().value(0)), profileInterface, QStringLiteral("Delete"), {});
    return fail(error, failure);
}

// Where stop keeps the profile that start activates again.
QString rememberedFile(const std::string &ifname)
{
    // No name at all (the open fails) when the record folder is not safe to use.
    const std::string dir = records::namespaceDir();
    return dir.empty() ? QString() : QString::fromStdString(dir + "/" + ifname + ".nm-profile");
}

} // namespace

std::map<std::string, View> managed(bool methods)
{
    std::map<std::string, View> result;
    World world;
    if (!look(&world))
        return result;
    for (auto it = world.devices.cbegin(); it != world.devices.cend(); ++it) {
        View view;
        Settings settings;
        if (methods && !it->profile.isEmpty() && settingsOf(it->profile, &settings))
            view.dhcp = settings.value(QStringLiteral("ipv4")).value(QStringLiteral("method")).toString() == QLatin1String("auto");
        for (const QString &server : nameservers(world, *it))
            view.dns.push_back(server.toStdString());
        result[it.key().toStdString()] = view;
    }
    return result;
}

bool manages(const std::string &ifname)
{
    World world;
    return look(&world) && world.devices.contains(QString::fromStdString(ifname));
}

bool apply(const std::string &ifname, const Change &change, std::string *error)
{
    World world;
    Device device;
    if (!find(ifname, &world, &device, error))
        return false;
    // The profile active on the device, else one it could activate.
    const QString profile = !device.profile.isEmpty() ? device.profile : device.available.value(0);
    if (profile.isEmpty())
        return addProfile(ifname, device, change, error);

    const QString name = QString::fromStdString(ifname);
    Settings before;
    QString why;
    if (!settingsOf(profile, &before, &why))
        return fail(error, QStringLiteral("NetworkManager's profile for '%1' can't be read: %2").arg(name, why));
    Settings after = before;
    write(change, &after[QStringLiteral("ipv4")]);
    why = update(profile, after);
    if (!why.isEmpty())
        return fail(error, QStringLiteral("NetworkManager refused the change of '%1': %2").arg(name, why));

    const QString failure = bringUp(ifname, device, profile, change);
    if (failure.isEmpty())
        return true;
    // Back to the profile as it was, applied as it was.
    update(profile, before);
    if (!device.profile.isEmpty())
        activate(name, device, device.profile, staticLimitMs, true);
    else
        call(device.path, deviceInterface, QStringLiteral("Disconnect"), {});
    return fail(error, failure);
}

bool stop(const std::string &ifname, std::string *error)
{
    World world;
    Device device;
    if (!find(ifname, &world, &device, error))
        return false;
    if (device.profile.isEmpty())
        return true;
    QFile remembered(rememberedFile(ifname));
    if (!remembered.open(QIODevice::WriteOnly | QIODevice::Truncate) || remembered.write(device.profile.toUtf8()) < 0)
        return fail(error, QStringLiteral("%1 can't be written.").arg(remembered.fileName()));
    remembered.close();
    const QDBusMessage reply = call(device.path, deviceInterface, QStringLiteral("Disconnect"), {});
    if (failed(reply))
        return fail(error, QStringLiteral("NetworkManager did not disconnect '%1': %2").arg(QString::fromStdString(ifname), reply.errorMessage()));
    const bool down = waitFor([&] {
        World now;
        return look(&now) && now.devices.value(QString::fromStdString(ifname)).state <= deviceDisconnected;
    }, staticLimitMs);
    return down || fail(error, QStringLiteral("NetworkManager did not disconnect '%1'.").arg(QString::fromStdString(ifname)));
}

bool start(const std::string &ifname, const std::string &mac, std::string *error)
{
    World world;
    Device device;
    if (!find(ifname, &world, &device, error))
        return false;
    const QString name = QString::fromStdString(ifname);
    QFile remembered(rememberedFile(ifname));
    QString profile = remembered.open(QIODevice::ReadOnly) ? QString::fromUtf8(remembered.readAll()) : QString();
    remembered.close();
    if (!device.available.contains(profile))
        profile = !device.profile.isEmpty() ? device.profile : device.available.value(0);
    if (profile.isEmpty())
        return fail(error, QStringLiteral("NetworkManager has no profile for '%1'.").arg(name));

    Settings settings;
    QString why;
    if (!settingsOf(profile, &settings, &why))
        return fail(error, QStringLiteral("NetworkManager's profile for '%1' can't be read: %2").arg(name, why));
    QVariantMap &ethernet = settings[QStringLiteral("802-3-ethernet")];
    // "permanent": the address the device came with, which NetworkManager knows
    // even after an override has replaced it in the kernel.
    const QString wanted = mac.empty() ? QStringLiteral("permanent") : QString::fromStdString(mac);
    if (ethernet.value(QStringLiteral("assigned-mac-address")).toString() != wanted) {
        ethernet.remove(QStringLiteral("cloned-mac-address"));
        ethernet.insert(QStringLiteral("assigned-mac-address"), wanted);
        why = update(profile, settings);
        if (!why.isEmpty())
            return fail(error, QStringLiteral("NetworkManager refused the address override of '%1': %2").arg(name, why));
    }
    const bool dhcp = settings.value(QStringLiteral("ipv4")).value(QStringLiteral("method")).toString() == QLatin1String("auto");
    why = activate(name, device, profile, dhcp ? dhcpLimitMs : staticLimitMs, dhcp);
    if (!why.isEmpty())
        return fail(error, why);
    remembered.remove();
    return true;
}

} // namespace networkmanager
