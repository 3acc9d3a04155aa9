#include "platform.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <QNetworkInterface>
#include <QProcess>
#include <QUuid>

namespace platform {

QString programPath(const QString &windowsPath)
{
    return windowsPath;
}

// cmd.exe does not split its command line as CommandLineToArgvW does: it takes
// what follows /c, drops the first and the last double quote, and runs the rest
// as it stands. Qt's usual quoting would put a backslash before every double
// quote of the command text, which cmd.exe keeps and hands on to the command
// (netsh would see name=\"Local Area Connection\"). So the line is written
// here: an argument with blanks or quotes in double quotes, nothing escaped.
void startInterpreter(QProcess &process, const QString &program, const QStringList &arguments)
{
    QStringList line;
    for (const QString &argument : arguments) {
        const bool quote =
            argument.isEmpty() || argument.contains(QLatin1Char(' ')) || argument.contains(QLatin1Char('"'));
        line << (quote ? QLatin1Char('"') + argument + QLatin1Char('"') : argument);
    }
    process.setNativeArguments(line.join(QLatin1Char(' ')));
    process.start(program, QStringList(), QIODevice::ReadWrite);
}

QString adapterClassKey()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                          "{4D36E972-E325-11CE-BFC1-08002bE10318}");
}

// The registry's class key is always there.
QString classKeyError()
{
    return QString();
}

// GetAdaptersInfo names an adapter by its interface GUID, written as
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case. Qt 5 names it by
// ConvertInterfaceLuidToNameW ("ethernet_32769"), so go from the index to
// the LUID to the GUID.
QString adapterName(const QNetworkInterface &networkInterface)
{
    NET_LUID luid;
    GUID guid;
    if (!networkInterface.isValid()
        || ConvertInterfaceIndexToLuid(NET_IFINDEX(networkInterface.index()), &luid) != NO_ERROR
        || ConvertInterfaceLuidToGuid(&luid, &guid) != NO_ERROR)
        return QString();
    return QUuid(guid).toString(QUuid::WithBraces).toUpper();
}

QNetworkInterface interfaceFromAdapterName(const QString &adapterName)
{
    const QUuid uuid(adapterName);
    const GUID guid = uuid;
    NET_LUID luid;
    NET_IFINDEX index;
    if (uuid.isNull() || ConvertInterfaceGuidToLuid(&guid, &luid) != NO_ERROR
        || ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR)
        return QNetworkInterface();
    const QNetworkInterface found = QNetworkInterface::interfaceFromIndex(int(index));
    // The GUID is parsed whatever its letter case; the name matches only as written.
    return platform::adapterName(found) == adapterName ? found : QNetworkInterface();
}

} // namespace platform
