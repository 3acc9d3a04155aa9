#include "fakeplatform.h"
#include "platform.h"
#include <QDir>
#include <algorithm>
#include <cstring>
#include <utility>

using namespace fake;

namespace {

struct State {
    std::vector<Adapter> adapters;
    int failFrom = 0;
    void (*hook)(void *) = nullptr;
    void *hookContext = nullptr;
    Log log;
} state;

// Lays a list out as IP Helper does, in zeroed memory: the first entry in the structure itself, further ones as
// nodes from the caller's buffer at `spare`; text is cut to fit its array.
template <typename Entry>
void fillList(IP_ADDR_STRING &head, const std::vector<Entry> &list, IP_ADDR_STRING *&spare)
{
    IP_ADDR_STRING *node = &head;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            node = node->Next = spare++;
        const Address entry{list[i]};
        entry.address.copy(node->IpAddress.String, sizeof(node->IpAddress.String) - 1);
        entry.mask.copy(node->IpMask.String, sizeof(node->IpMask.String) - 1);
    }
}

ULONG extraNodes(size_t entries) { return entries > 1 ? ULONG((entries - 1) * sizeof(IP_ADDR_STRING)) : 0; }

// None or too small is ERROR_BUFFER_OVERFLOW with the size needed; one big enough is zeroed for filling.
DWORD claim(void *buffer, PULONG size, ULONG needed)
{
    if (!buffer || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    memset(buffer, 0, needed);
    return ERROR_SUCCESS;
}

} // namespace

void fake::setAdapters(const std::vector<Adapter> &adapters) { state.adapters = adapters; }
void fake::failAdaptersInfoFrom(int call) { state.failFrom = call; }
const Log &fake::log() { return state.log; }

void fake::onAdaptersInfo(void (*hook)(void *), void *context)
{
    state.hook = hook;
    state.hookContext = context;
}

bool fake::installCmdExe(const QString &systemroot, const QByteArray &scriptBody)
{
    QFile cmd(systemroot + QStringLiteral("/system32/cmd.exe"));
    if (!QDir(systemroot).mkpath(QStringLiteral("system32")) || !cmd.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray script = "#!/bin/sh\n" + scriptBody;
    return cmd.write(script) == script.size()
        && cmd.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void fake::reset()
{
    state = State();
    resetSetupApi();
}

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer)
{
    state.log.adaptersInfoSizes.push_back(SizePointer ? *SizePointer : 0);
    const int call = int(state.log.adaptersInfoSizes.size());
    if (const auto hook = std::exchange(state.hook, nullptr))
        hook(state.hookContext);
    const std::vector<Adapter> &adapters = state.adapters;
    if ((state.failFrom > 0 && call >= state.failFrom) || !SizePointer || adapters.empty())
        return ERROR_NOT_SUPPORTED;
    ULONG needed = ULONG(adapters.size() * sizeof(IP_ADAPTER_INFO));
    for (const Adapter &a : adapters)
        needed += extraNodes(a.addresses.size()) + extraNodes(a.gateways.size());
    if (const DWORD result = claim(AdapterInfo, SizePointer, needed))
        return result;
    auto *spare = reinterpret_cast<IP_ADDR_STRING *>(AdapterInfo + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        const Adapter &a = adapters[i];
        IP_ADAPTER_INFO &entry = AdapterInfo[i];
        entry.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
        a.name.copy(entry.AdapterName, sizeof(entry.AdapterName) - 1);
        a.description.copy(entry.Description, sizeof(entry.Description) - 1);
        entry.ComboIndex = entry.Index = a.index;
        entry.Type = a.type;
        entry.DhcpEnabled = a.dhcpEnabled;
        fillList(entry.IpAddressList, a.addresses.empty() ? std::vector<Address>{{"0.0.0.0", "0.0.0.0"}} : a.addresses, spare);
        fillList(entry.GatewayList, a.gateways.empty() ? std::vector<std::string>{"0.0.0.0"} : a.gateways, spare);
        fillList(entry.DhcpServer, std::vector{a.dhcpServer}, spare);
    }
    return ERROR_SUCCESS;
}

DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen)
{
    state.log.perAdapterSizes.push_back(pOutBufLen ? *pOutBufLen : 0);
    const auto adapter = std::find_if(state.adapters.begin(), state.adapters.end(),
                                      [IfIndex](const Adapter &a) { return a.index == IfIndex; });
    if (!pOutBufLen || adapter == state.adapters.end() || adapter->dnsFails)
        return ERROR_NOT_SUPPORTED;
    const ULONG needed = ULONG(sizeof(IP_PER_ADAPTER_INFO)) + extraNodes(adapter->dnsServers.size());
    if (const DWORD result = claim(pPerAdapterInfo, pOutBufLen, needed))
        return result;
    auto *spare = reinterpret_cast<IP_ADDR_STRING *>(pPerAdapterInfo + 1);
    fillList(pPerAdapterInfo->DnsServerList, adapter->dnsServers, spare);
    return ERROR_SUCCESS;
}

QString platform::programPath(const QString &windowsPath) { return QString(windowsPath).replace('\\', '/'); }
QString platform::adapterClassKey() { return qEnvironmentVariable("VANTOREL_CLASS_KEY"); }
