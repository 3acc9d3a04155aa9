#include "platform.h"

#include <QNetworkInterface>

// The IP Helper stand-in reports every adapter under its kernel name. Kept
// apart from platform_linux.cpp so that a test's fake platform, which brings
// its own programPath(), still takes these.
namespace platform {

QString adapterName(const QNetworkInterface &networkInterface)
{
    return networkInterface.name();
}

QNetworkInterface interfaceFromAdapterName(const QString &adapterName)
{
    return QNetworkInterface::interfaceFromName(adapterName);
}

} // namespace platform
