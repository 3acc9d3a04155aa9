// vantorel-adapter: the worker's hardware address override and adapter
// restart from the command line. Nothing in the window calls them; like any
// other caller, this reaches them through the worker's meta-object interface.
#include "platform.h"
#include "windowchanger.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QSettings>
#include <QTextStream>

namespace {

const char usage[] =
    "usage: vantorel-adapter list\n"
    "       vantorel-adapter set-mac <adapter> <address>\n"
    "       vantorel-adapter restart <driver-key>\n"
    "       vantorel-adapter set-mac-restart <adapter> <address>\n"
    "\n"
    "  list             the adapters of the class key: subkey, driver key, adapter, override\n"
    "  set-mac          store <address> (e.g. 02-11-22-33-44-55; empty: the adapter's own)\n"
    "                   as the adapter's override and print its driver key\n"
    "  restart          stop and start the device, which applies its override\n"
    "  set-mac-restart  both\n";

// The network adapters' class: a driver key is this, then a subkey's number.
const QString adapterClass = QStringLiteral("{4D36E972-E325-11CE-BFC1-08002bE10318}\\");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QMetaMethod slot(const windowChanger &changer, const char *signature)
{
    const QMetaObject *meta = changer.metaObject();
    return meta->method(meta->indexOfMethod(signature));
}

// False, with the reason on stderr, when the worker's last look found no
// usable class key (a damaged one is left alone, and nothing is written).
bool classKeyUsable()
{
    const QString why = platform::classKeyError();
    if (!why.isEmpty())
        err() << "vantorel-adapter: " << why << '\n';
    return why.isEmpty();
}

// The driver key of the adapter's subkey, or empty with the reason on stderr.
QString setMac(windowChanger &changer, const QString &adapter, const QString &address)
{
    QStringList result;
    slot(changer, "setMac(QStringList)")
        .invoke(&changer, Qt::DirectConnection, Q_RETURN_ARG(QStringList, result),
                Q_ARG(QStringList, QStringList({adapter, address})));
    if (!classKeyUsable())
        return QString();
    if (result.value(0) != QLatin1String("1")) {
        err() << "vantorel-adapter: the class key " << platform::adapterClassKey() << " can't be written\n";
        return QString();
    }
    if (result.value(1).endsWith(QLatin1Char('\\'))) {
        err() << "vantorel-adapter: no adapter " << adapter << " in the class key (see vantorel-adapter list)\n";
        return QString();
    }
    out() << result.value(1) << '\n';
    return result.value(1);
}

bool restart(windowChanger &changer, const QString &driverKey)
{
    bool restarted = false;
    slot(changer, "restartCard(QString)")
        .invoke(&changer, Qt::DirectConnection, Q_RETURN_ARG(bool, restarted), Q_ARG(QString, driverKey));
    // The reason is printed even when nothing failed: no device was found to restart.
    const bool usable = classKeyUsable();
    if (!restarted && usable)
        err() << "vantorel-adapter: the device " << driverKey << " could not be restarted\n";
    return restarted;
}

// False, with the reason on stderr, when no subkey of the class key has the
// driver key: a restart then finds nothing to do, and says nothing.
bool known(const QString &driverKey)
{
    const QSettings classKey(platform::adapterClassKey(), QSettings::NativeFormat);
    if (!platform::classKeyError().isEmpty())
        return false;   // said by the restart
    const QStringList subkeys = classKey.childGroups();
    if (driverKey.startsWith(adapterClass, Qt::CaseInsensitive) && subkeys.contains(driverKey.mid(adapterClass.size())))
        return true;
    err() << "vantorel-adapter: no adapter has the driver key " << driverKey << " (see vantorel-adapter list)\n";
    return false;
}

bool list()
{
    const QSettings classKey(platform::adapterClassKey(), QSettings::NativeFormat);
    if (!classKeyUsable())
        return false;
    const QStringList subkeys = classKey.childGroups();
    for (const QString &subkey : subkeys) {
        out() << subkey << "  " << adapterClass << subkey << "  "
              << classKey.value(subkey + QStringLiteral("/NetCfgInstanceId")).toString();
        const QVariant override = classKey.value(subkey + QStringLiteral("/NetworkAddress"));
        if (override.isValid())
            out() << "  NetworkAddress=" << override.toString();
        out() << '\n';
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    windowChanger changer;

    if (command == QLatin1String("list") && args.size() == 1)
        return list() ? 0 : 1;
    if (command == QLatin1String("set-mac") && args.size() == 3)
        return setMac(changer, args.at(1), args.at(2)).isEmpty() ? 1 : 0;
    if (command == QLatin1String("restart") && args.size() == 2)
        return restart(changer, args.at(1)) && known(args.at(1)) ? 0 : 1;
    if (command == QLatin1String("set-mac-restart") && args.size() == 3) {
        const QString driverKey = setMac(changer, args.at(1), args.at(2));
        return !driverKey.isEmpty() && restart(changer, driverKey) ? 0 : 1;
    }
    err() << usage;
    return 2;
}
