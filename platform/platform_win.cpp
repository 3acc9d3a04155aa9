#include "platform.h"

namespace platform {

QString programPath(const QString &windowsPath)
{
    return windowsPath;
}

QString adapterClassKey()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                          "{4D36E972-E325-11CE-BFC1-08002bE10318}");
}

} // namespace platform
