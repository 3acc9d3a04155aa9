// The few places where the window and the worker need the platform to say how
// a Windows name is found here. Everything else they reach through the Windows
// interfaces themselves (iphelper.h, devicesetup.h, QSettings).
#pragma once

#include <QString>
#include <QStringList>

class QNetworkInterface;
class QProcess;

namespace platform {

// The program to start for a Windows path such as "C:\Windows\system32\cmd.exe".
// On Windows the path itself; on Linux the same path with slashes.
QString programPath(const QString &windowsPath);

// Starts the command interpreter (from programPath()) read-write with these
// arguments, so that it sees exactly them: "/c" and one command text.
void startInterpreter(QProcess &process, const QString &program, const QStringList &arguments);

// The settings file (or registry path) of the network adapter class key
// "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-...}",
// to be opened as QSettings(path, QSettings::NativeFormat). On Linux an INI file
// kept in step with the interfaces of the current network namespace; the
// environment variable VANTOREL_CLASS_KEY moves it. Empty (no subkeys, nothing
// written) when the class key there is damaged; classKeyError() says why.
QString adapterClassKey();

// Why the last adapterClassKey() gave none; empty when it gave one.
QString classKeyError();

// The name under which GetAdaptersInfo reports the interface (AdapterName).
// On Windows that is the interface's GUID in braces, upper case, which Qt 5's
// name() no longer is; on Linux it is name(). Empty when it can't be had.
QString adapterName(const QNetworkInterface &networkInterface);

// The interface that adapterName() names, compared exactly; an invalid
// interface when there is none.
QNetworkInterface interfaceFromAdapterName(const QString &adapterName);

} // namespace platform
