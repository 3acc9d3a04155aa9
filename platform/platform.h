// The few places where the worker needs the platform to say how a Windows
// name is found here. Everything else it reaches through the Windows
// interfaces themselves (iphelper.h, devicesetup.h, QSettings).
#pragma once

#include <QString>

namespace platform {

// The program to start for a Windows path such as "C:\Windows\system32\cmd.exe".
// On Windows the path itself; on Linux the same path with slashes.
QString programPath(const QString &windowsPath);

// The settings file (or registry path) of the network adapter class key
// "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-...}",
// to be opened as QSettings(path, QSettings::NativeFormat). On Linux an INI file
// kept in step with the interfaces of the current network namespace; the
// environment variable VANTOREL_CLASS_KEY moves it. Empty (no subkeys, nothing
// written) when the class key there is damaged; the reason goes to stderr.
QString adapterClassKey();

} // namespace platform
