#include "classkey_linux.h"
#include "netstate_linux.h"
#include "platform.h"
#include "rtnl_linux.h"

#include <QLockFile>
#include <QSettings>

#include <algorithm>
#include <net/if.h>

namespace classkey {

namespace {

// The next instance number to give out. Kept so that a number stays taken
// even if its subkey is deleted by hand.
constexpr const char nextInstance[] = "NextInstance";

// Gives every interface of the namespace (but loopback) a subkey of its own.
// An interface keeps its subkey for good; a new name gets the next number.
void keepInStep(const QString &path)
{
    rtnl::Error error;
    const std::vector<rtnl::Link> links = rtnl::links(&error);
    if (!error.empty())
        return;

    // Two programs bringing the file in step at once would hand out the same
    // number; QSettings merges their writes key by key.
    QLockFile lock(path + QStringLiteral(".numbering.lock"));
    lock.lock();
    QSettings classKey(path, QSettings::IniFormat);

    const QStringList subkeys = classKey.childGroups();
    int next = classKey.value(QLatin1String(nextInstance), 0).toInt();
    for (const QString &subkey : subkeys)
        next = std::max(next, subkey.toInt() + 1);

    for (const rtnl::Link &link : links) {
        if (link.flags & IFF_LOOPBACK)
            continue;
        const QString name = QString::fromStdString(link.name);
        QString subkey = subkeyOf(classKey, name);
        if (subkey.isEmpty()) {
            subkey = QStringLiteral("%1").arg(next++, 4, 10, QLatin1Char('0'));
            classKey.setValue(key(subkey, instanceId), name);
        }
        // A new interface under a known name is another device: what was
        // remembered of the old one's own address does not hold for it.
        if (classKey.value(key(subkey, devInst)).toInt() != link.index) {
            classKey.setValue(key(subkey, devInst), link.index);
            classKey.remove(key(subkey, originalAddress));
        }
    }
    if (classKey.value(QLatin1String(nextInstance)).toInt() != next)
        classKey.setValue(QLatin1String(nextInstance), next);
}

} // namespace

QString driverKey(const QString &subkey)
{
    // The platform reports the class GUID of this property in lower case.
    return QStringLiteral("{4d36e972-e325-11ce-bfc1-08002be10318}\\") + subkey;
}

QString subkeyOf(const QSettings &classKey, const QString &ifname)
{
    const QStringList subkeys = classKey.childGroups();
    for (const QString &subkey : subkeys) {
        if (classKey.value(key(subkey, instanceId)).toString() == ifname)
            return subkey;
    }
    return QString();
}

} // namespace classkey

namespace platform {

QString adapterClassKey()
{
    // A class key moved elsewhere is taken as it is: whoever moved it keeps it.
    const QString moved = qEnvironmentVariable("VANTOREL_CLASS_KEY");
    if (!moved.isEmpty())
        return moved;
    const QString path = QString::fromStdString(netstate::namespaceDir()) + QStringLiteral("/class-key.ini");
    classkey::keepInStep(path);
    return path;
}

} // namespace platform
