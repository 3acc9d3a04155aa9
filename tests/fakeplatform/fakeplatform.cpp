#include "fakeplatform.h"
#include "platform.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace fake {

namespace {

struct State {
    std::vector<Adapter> adapters;
    std::string tableFile;
    int failFrom = 0;
    void (*hook)(void *) = nullptr;
    void *hookContext = nullptr;
    bool inHook = false;
    Log log;
} state;

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    for (size_t start = 0, end = 0; !text.empty() && end != std::string::npos; start = end + 1) {
        end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
    }
    return parts;
}

std::string join(const std::vector<std::string> &parts)
{
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i ? "," : "") + parts[i];
    return text;
}

std::vector<Adapter> table()
{
    if (state.tableFile.empty())
        return state.adapters;
    auto number = [](const std::string &text) { return unsigned(std::strtoul(text.c_str(), nullptr, 10)); };
    std::vector<Adapter> adapters;
    std::ifstream in(state.tableFile);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> f = split(line, '|');
        if (f.size() < 9)
            continue;
        adapters.push_back({f[0], f[1], number(f[2]), number(f[3]), number(f[4]), {}, split(f[6], ','),
                            split(f[7], ','), f[8], f.size() > 9 && f[9] == "1"});
        for (const std::string &pair : split(f[5], ',')) {
            std::vector<std::string> parts = split(pair, '/');
            parts.resize(2);
            adapters.back().addresses.push_back({parts[0], parts[1]});
        }
    }
    return adapters;
}

std::vector<Address> withMask(const std::vector<std::string> &list, const std::string &mask)
{
    std::vector<Address> result;
    for (const std::string &address : list)
        result.push_back({address, mask});
    return result;
}

// Lays a list out as IP Helper does, in zeroed memory: the first entry in the
// structure itself, further ones as nodes from the caller's buffer at `spare`;
// text is cut to fit its array.
void fillList(IP_ADDR_STRING &head, const std::vector<Address> &list, IP_ADDR_STRING *&spare)
{
    IP_ADDR_STRING *node = &head;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            node = node->Next = spare++;
        list[i].address.copy(node->IpAddress.String, sizeof(node->IpAddress.String) - 1);
        list[i].mask.copy(node->IpMask.String, sizeof(node->IpMask.String) - 1);
    }
}

ULONG extraNodes(size_t entries)
{
    return entries > 1 ? ULONG((entries - 1) * sizeof(IP_ADDR_STRING)) : 0;
}

// The buffer contract: none or too small is ERROR_BUFFER_OVERFLOW with the size
// needed; one big enough is zeroed for filling.
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

void setAdapters(const std::vector<Adapter> &adapters) { state.adapters = adapters; }
void setTableFile(const std::string &path) { state.tableFile = path; }
void failAdaptersInfoFrom(int call) { state.failFrom = call; }
const Log &log() { return state.log; }

void onAdaptersInfo(void (*hook)(void *), void *context)
{
    state.hook = hook;
    state.hookContext = context;
}

void writeTableFile(const std::string &path, const std::vector<Adapter> &adapters)
{
    std::ofstream out(path, std::ios::trunc);
    for (const Adapter &a : adapters) {
        std::vector<std::string> pairs;
        for (const Address &address : a.addresses)
            pairs.push_back(address.address + '/' + address.mask);
        out << a.name << '|' << a.description << '|' << a.index << '|' << a.type << '|' << a.dhcpEnabled << '|'
            << join(pairs) << '|' << join(a.gateways) << '|' << join(a.dnsServers) << '|' << a.dhcpServer
            << (a.dnsFails ? "|1\n" : "\n");
    }
}

bool installCmdExe(const QString &systemroot, const QByteArray &scriptBody)
{
    QFile cmd(systemroot + QStringLiteral("/system32/cmd.exe"));
    if (!QDir(systemroot).mkpath(QStringLiteral("system32")) || !cmd.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray script = scriptBody.startsWith("#!") ? scriptBody : "#!/bin/sh\n" + scriptBody;
    return cmd.write(script) == script.size()
        && cmd.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void reset()
{
    state = State();
    resetSetupApi();
}

} // namespace fake

using namespace fake;

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer)
{
    state.log.adaptersInfoSizes.push_back(SizePointer ? *SizePointer : 0);
    const int call = int(state.log.adaptersInfoSizes.size());
    if (state.hook && !state.inHook) {
        state.inHook = true;
        state.hook(state.hookContext);
        state.inHook = false;
    }
    const std::vector<Adapter> adapters = table();
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
        // IP Helper reports "0.0.0.0" where an adapter has no address or gateway.
        const std::vector<Address> none{{"0.0.0.0", "0.0.0.0"}};
        fillList(entry.IpAddressList, a.addresses.empty() ? none : a.addresses, spare);
        fillList(entry.GatewayList, a.gateways.empty() ? none : withMask(a.gateways, "255.255.255.255"), spare);
        fillList(entry.DhcpServer, {{a.dhcpServer, ""}}, spare);
    }
    return ERROR_SUCCESS;
}

DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen)
{
    state.log.perAdapterSizes.push_back(pOutBufLen ? *pOutBufLen : 0);
    const std::vector<Adapter> adapters = table();
    const auto adapter = std::find_if(adapters.begin(), adapters.end(),
                                      [IfIndex](const Adapter &a) { return a.index == IfIndex; });
    if (!pOutBufLen || adapter == adapters.end() || adapter->dnsFails)
        return ERROR_NOT_SUPPORTED;
    const ULONG needed = ULONG(sizeof(IP_PER_ADAPTER_INFO)) + extraNodes(adapter->dnsServers.size());
    if (const DWORD result = claim(pPerAdapterInfo, pOutBufLen, needed))
        return result;
    auto *spare = reinterpret_cast<IP_ADDR_STRING *>(pPerAdapterInfo + 1);
    fillList(pPerAdapterInfo->DnsServerList, withMask(adapter->dnsServers, ""), spare);
    return ERROR_SUCCESS;
}

namespace platform {

QString programPath(const QString &windowsPath)
{
    return QString(windowsPath).replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString adapterClassKey()
{
    return qEnvironmentVariable("VANTOREL_CLASS_KEY");
}

} // namespace platform
