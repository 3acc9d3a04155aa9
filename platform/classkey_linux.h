// The network adapter class key of the Linux stand-ins: an INI file with one
// four-digit subkey per interface ever seen in this network namespace, whose
// NetCfgInstanceId is the interface name. Shared by platform::adapterClassKey
// and the SetupAPI stand-in, which finds a device's subkey here.
#pragma once

#include <QString>

class QSettings;

namespace classkey {

// "{4d36e972-e325-11ce-bfc1-08002be10318}\<subkey>": the driver key of the
// device with that subkey, as SPDRP_DRIVER reports it.
QString driverKey(const QString &subkey);

// The subkey whose NetCfgInstanceId is the interface name; empty when none.
QString subkeyOf(const QSettings &classKey, const QString &ifname);

// Values the stand-in keeps in a subkey beside NetCfgInstanceId and NetworkAddress.
inline QString key(const QString &subkey, const char *value)
{
    return subkey + QLatin1Char('/') + QLatin1String(value);
}
constexpr const char instanceId[] = "NetCfgInstanceId";
constexpr const char networkAddress[] = "NetworkAddress";
// The interface index the subkey last stood for, and the link-layer address
// that interface had before the first override was applied to it.
constexpr const char devInst[] = "DevInst";
constexpr const char originalAddress[] = "OriginalNetworkAddress";

} // namespace classkey
