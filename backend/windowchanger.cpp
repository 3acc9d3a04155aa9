#include "windowchanger.h"

#include "iphelper.h"
#include "platform.h"

#include <QNetworkInterface>
#include <QProcess>

#include <memory>
#include <new>

namespace {

using Buffer = std::unique_ptr<BYTE[]>;

// IP Helper fills a caller's buffer and, when it is too small, says how big it
// must be. Start with room for one entry, which is enough on a machine with one
// adapter, and after any failure try exactly once more with the size the call
// left. Null when the second call fails too or the memory can't be had.
template <typename Call>
Buffer fillBuffer(ULONG size, Call call)
{
    Buffer buffer(new (std::nothrow) BYTE[size]);
    if (buffer && call(buffer.get(), &size) == ERROR_SUCCESS)
        return buffer;
    buffer.reset();
    buffer.reset(new (std::nothrow) BYTE[size]);
    if (buffer && call(buffer.get(), &size) == ERROR_SUCCESS)
        return buffer;
    return nullptr;
}

// The platform's fixed-size texts are terminated inside their array; never read past it.
template <size_t N>
QString latin1(const char (&text)[N])
{
    return QString::fromLatin1(text, int(qstrnlen(text, N)));
}

template <size_t N>
QString local8Bit(const char (&text)[N])
{
    return QString::fromLocal8Bit(text, int(qstrnlen(text, N)));
}

} // namespace

windowChanger::windowChanger(QObject *parent)
    : QObject(parent)
    , process(new QProcess)
{
}

windowChanger::~windowChanger()
{
    process->deleteLater();
}

adapterRecord &windowChanger::getAddress(const QString &adapterName)
{
    info.adapterName.clear();
    info.type = 0;

    const Buffer adapters = fillBuffer(sizeof(IP_ADAPTER_INFO), [](BYTE *buffer, ULONG *size) {
        return GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer), size);
    });
    if (!adapters) {
        info.status = -1;
        return info;
    }

    const IP_ADAPTER_INFO *entry = reinterpret_cast<const IP_ADAPTER_INFO *>(adapters.get());
    for (; entry; entry = entry->Next) {
        if (entry->Type == MIB_IF_TYPE_ETHERNET && latin1(entry->AdapterName) == adapterName)
            break;
    }
    if (!entry)
        return info;

    info.adapterName = latin1(entry->AdapterName);
    info.description = local8Bit(entry->Description);
    info.macAddress = platform::interfaceFromAdapterName(adapterName)
                          .hardwareAddress()
                          .replace(QLatin1Char(':'), QLatin1Char('-'));
    info.index = qint32(entry->Index);
    info.type = qint16(entry->Type);
    info.dhcpEnabled = qint16(entry->DhcpEnabled);
    info.ipAddress = latin1(entry->IpAddressList.IpAddress.String);
    info.ipMask = latin1(entry->IpAddressList.IpMask.String);
    info.gateway = latin1(entry->GatewayList.IpAddress.String);
    info.dhcpServer = latin1(entry->DhcpServer.IpAddress.String);
    info.haveWins = entry->HaveWins != 0;
    info.primaryWinsServer = latin1(entry->PrimaryWinsServer.IpAddress.String);
    info.secondaryWinsServer = latin1(entry->SecondaryWinsServer.IpAddress.String);

    const ULONG index = entry->Index;
    const Buffer dns = fillBuffer(sizeof(IP_PER_ADAPTER_INFO), [index](BYTE *buffer, ULONG *size) {
        return GetPerAdapterInfo(index, reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer), size);
    });
    if (!dns) {
        info.status = -1;
        return info;
    }

    info.dnsServer = latin1(reinterpret_cast<const IP_PER_ADAPTER_INFO *>(dns.get())->DnsServerList.IpAddress.String);
    info.status = 1;
    return info;
}
