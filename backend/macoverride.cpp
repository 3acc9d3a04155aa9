#include "windowchanger.h"
#include "platform.h"

#include <QSettings>

namespace {

// The network adapter device class. The registry spells the last group in this
// mixed case; the driver key below is built from it as it stands.
const QString adapterClassGuid = QStringLiteral("{4D36E972-E325-11CE-BFC1-08002bE10318}");

} // namespace

QStringList windowChanger::setMac(const QStringList &macList)
{
    // Without both an instance identifier and an address there is nothing to
    // write, and guessing one of them could override the wrong adapter or
    // blank its address. Answer as for a class key that can't be written:
    // "0" tells the caller that no override was stored.
    if (macList.size() < 2)
        return {QStringLiteral("0")};

    QString matched;
    {
        QSettings classKey(platform::adapterClassKey(), QSettings::NativeFormat);
        const QStringList subkeys = classKey.childGroups();
        for (const QString &subkey : subkeys) {
            const QString instanceId =
                classKey.value(QLatin1Char('/') + subkey + QStringLiteral("/NetCfgInstanceId"), QStringLiteral("0"))
                    .toString();
            if (instanceId != macList.at(0))
                continue;
            if (!classKey.isWritable())
                return {QStringLiteral("0")};
            classKey.setValue(QLatin1Char('/') + subkey + QStringLiteral("/NetworkAddress"), macList.at(1));
            matched = subkey;
            break;
        }
        // Leaving the block closes the key, so the value is stored before the
        // caller reads the result.
    }
    return {QStringLiteral("1"), adapterClassGuid + QLatin1Char('\\') + matched};
}
