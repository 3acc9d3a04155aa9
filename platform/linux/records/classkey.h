// The network adapter class key of the Linux stand-ins: an INI file with one
// four-digit subkey per interface ever seen in this network namespace, whose
// NetCfgInstanceId is the interface name. Shared by platform::adapterClassKey
// and the SetupAPI stand-in, which finds a device's subkey here.
#pragma once

#include <QLockFile>
#include <QString>

class QSettings;

namespace classkey {

// The class key of the current network namespace, kept in step with its
// interfaces; VANTOREL_CLASS_KEY names a file used as it is. Empty, with the
// reason in *error, when it is damaged or its folder can't be used.
QString file(QString *error);

// "{4d36e972-e325-11ce-bfc1-08002be10318}\<subkey>": the driver key of the
// device with that subkey, as SPDRP_DRIVER reports it.
QString driverKey(const QString &subkey);

// The subkey whose NetCfgInstanceId is the interface name; empty when none.
QString subkeyOf(const QSettings &classKey, const QString &ifname);

// Whether the file at `path` can be taken as a class key: missing, or a regular
// file (not a link, FIFO or device) of bounded size that parses, with subkeys
// of four digits and a NextInstance of 0 to 10000, every line a [section],
// key=value or comment. Otherwise false with the reason; a damaged class key is left as it is, never rewritten.
bool check(const QString &path, QString *error);
// The same for the file's content: its lines, subkeys and NextInstance.
bool checkText(const QByteArray &text, QString *error);

// Values the stand-in keeps in a subkey beside NetCfgInstanceId and NetworkAddress.
inline QString key(const QString &subkey, const char *value)
{
    return subkey + QLatin1Char('/') + QLatin1String(value);
}
constexpr const char instanceId[] = "NetCfgInstanceId";
constexpr const char networkAddress[] = "NetworkAddress";
// The identity (records::identityOf) of the interface the subkey stands for,
// and the link-layer address that interface had before the first override was
// applied to it: its own address where the kernel knows no permanent one.
constexpr const char linkIdentity[] = "LinkIdentity";
constexpr const char originalAddress[] = "OriginalNetworkAddress";

// Held while the class key is numbered, and while the stand-in changes a
// link-layer address and relabels the subkey (relabel): a program numbering
// in between would take the subkey for another device's.
class Lock
{
public:
    explicit Lock(const QString &path);
private:
    QLockFile m_file;
};

// Records that the interface of `subkey` is now known by `identity`.
bool relabel(QSettings &classKey, const QString &subkey, const QString &identity);

} // namespace classkey
