#include "fakeplatform.h"
#include "platform.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fake {

namespace {

struct State {
    std::vector<Adapter> adapters;
    std::string tableFile;
    int adaptersInfoCalls = 0;
    int failAdaptersInfoFrom = 0;
    void (*hook)(void *) = nullptr;
    void *hookContext = nullptr;
    bool inHook = false;
    Log log;
};

State &state()
{
    static State s;
    return s;
}

std::vector<Adapter> table()
{
    const State &s = state();
    return s.tableFile.empty() ? s.adapters : readTableFile(s.tableFile);
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    // getline drops a trailing empty field; a line always has them all.
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

std::string join(const std::vector<std::string> &parts, char separator)
{
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            text += separator;
        text += parts[i];
    }
    return text;
}

unsigned number(const std::string &text)
{
    return unsigned(std::strtoul(text.c_str(), nullptr, 10));
}

// Copies text into a fixed Windows character array, cut to fit and always terminated.
template <size_t N>
void copyText(char (&target)[N], const std::string &text)
{
    const size_t length = std::min(text.size(), N - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

void setNode(IP_ADDR_STRING &node, const std::string &address, const std::string &mask)
{
    node.Next = nullptr;
    copyText(node.IpAddress.String, address);
    copyText(node.IpMask.String, mask);
    node.Context = 0;
}

// Lays a list out as IP Helper does: the first entry in the structure itself,
// further ones as nodes taken from the caller's buffer at *spare.
void fillList(IP_ADDR_STRING &head, const std::vector<Address> &list, IP_ADDR_STRING *&spare)
{
    IP_ADDR_STRING *last = &head;
    for (size_t i = 0; i < list.size(); ++i) {
        IP_ADDR_STRING *node = i == 0 ? &head : spare++;
        setNode(*node, list[i].address, list[i].mask);
        if (node != &head)
            last->Next = node;
        last = node;
    }
}

std::vector<Address> gatewayList(const std::vector<std::string> &gateways)
{
    std::vector<Address> list;
    for (const std::string &gateway : gateways)
        list.push_back({gateway, "255.255.255.255"});
    return list;
}

ULONG extraNodes(size_t entries)
{
    return entries > 1 ? ULONG((entries - 1) * sizeof(IP_ADDR_STRING)) : 0;
}

const Adapter *findIndex(const std::vector<Adapter> &adapters, ULONG index)
{
    for (const Adapter &adapter : adapters) {
        if (adapter.index == index)
            return &adapter;
    }
    return nullptr;
}

} // namespace

void setAdapters(const std::vector<Adapter> &adapters)
{
    state().adapters = adapters;
}

void setTableFile(const std::string &path)
{
    state().tableFile = path;
}

std::vector<Adapter> readTableFile(const std::string &path)
{
    std::vector<Adapter> adapters;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        const std::vector<std::string> fields = split(line, '|');
        if (fields.size() < 9)
            continue;
        Adapter adapter;
        adapter.name = fields[0];
        adapter.description = fields[1];
        adapter.index = number(fields[2]);
        adapter.type = number(fields[3]);
        adapter.dhcpEnabled = number(fields[4]);
        for (const std::string &pair : split(fields[5], ',')) {
            const size_t slash = pair.find('/');
            adapter.addresses.push_back({pair.substr(0, slash),
                                         slash == std::string::npos ? std::string() : pair.substr(slash + 1)});
        }
        adapter.gateways = split(fields[6], ',');
        adapter.dnsServers = split(fields[7], ',');
        adapter.dhcpServer = fields[8];
        adapter.dnsFails = fields.size() > 9 && fields[9] == "1";
        adapters.push_back(adapter);
    }
    return adapters;
}

void writeTableFile(const std::string &path, const std::vector<Adapter> &adapters)
{
    std::ofstream out(path, std::ios::trunc);
    for (const Adapter &adapter : adapters) {
        std::vector<std::string> addresses;
        for (const Address &address : adapter.addresses)
            addresses.push_back(address.address + '/' + address.mask);
        out << adapter.name << '|' << adapter.description << '|' << adapter.index << '|'
            << adapter.type << '|' << adapter.dhcpEnabled << '|' << join(addresses, ',') << '|'
            << join(adapter.gateways, ',') << '|' << join(adapter.dnsServers, ',') << '|'
            << adapter.dhcpServer;
        if (adapter.dnsFails)
            out << "|1";
        out << '\n';
    }
}

void failAdaptersInfoFrom(int call)
{
    state().failAdaptersInfoFrom = call;
}

void onAdaptersInfo(void (*hook)(void *), void *context)
{
    state().hook = hook;
    state().hookContext = context;
}

const Log &log()
{
    return state().log;
}

void reset()
{
    state() = State();
    resetSetupApi();
}

} // namespace fake

using namespace fake;

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer)
{
    State &s = state();
    const int call = ++s.adaptersInfoCalls;
    s.log.adaptersInfoSizes.push_back(SizePointer ? *SizePointer : 0);
    // A hook that queries again is not run a second time inside itself.
    if (s.hook && !s.inHook) {
        s.inHook = true;
        s.hook(s.hookContext);
        s.inHook = false;
    }
    if (s.failAdaptersInfoFrom > 0 && call >= s.failAdaptersInfoFrom)
        return ERROR_NOT_SUPPORTED;
    if (!SizePointer)
        return ERROR_INVALID_PARAMETER;

    const std::vector<Adapter> adapters = table();
    if (adapters.empty())
        return ERROR_NO_DATA;

    ULONG needed = ULONG(adapters.size() * sizeof(IP_ADAPTER_INFO));
    for (const Adapter &adapter : adapters)
        needed += extraNodes(adapter.addresses.size()) + extraNodes(adapter.gateways.size());
    if (!AdapterInfo || *SizePointer < needed) {
        *SizePointer = needed;
        return ERROR_BUFFER_OVERFLOW;
    }

    std::memset(AdapterInfo, 0, needed);
    auto *spare = reinterpret_cast<IP_ADDR_STRING *>(AdapterInfo + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        const Adapter &adapter = adapters[i];
        IP_ADAPTER_INFO &entry = AdapterInfo[i];
        entry.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
        entry.ComboIndex = adapter.index;
        copyText(entry.AdapterName, adapter.name);
        copyText(entry.Description, adapter.description);
        entry.Index = adapter.index;
        entry.Type = adapter.type;
        entry.DhcpEnabled = adapter.dhcpEnabled;
        // IP Helper reports "0.0.0.0" where an adapter has no address or gateway.
        if (adapter.addresses.empty())
            setNode(entry.IpAddressList, "0.0.0.0", "0.0.0.0");
        else
            fillList(entry.IpAddressList, adapter.addresses, spare);
        if (adapter.gateways.empty())
            setNode(entry.GatewayList, "0.0.0.0", "0.0.0.0");
        else
            fillList(entry.GatewayList, gatewayList(adapter.gateways), spare);
        setNode(entry.DhcpServer, adapter.dhcpServer, adapter.dhcpServer.empty() ? "" : "255.255.255.255");
    }
    return ERROR_SUCCESS;
}

DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen)
{
    State &s = state();
    s.log.perAdapterSizes.push_back(pOutBufLen ? *pOutBufLen : 0);
    s.log.perAdapterIndexes.push_back(IfIndex);
    if (!pOutBufLen)
        return ERROR_INVALID_PARAMETER;

    const std::vector<Adapter> adapters = table();
    const Adapter *adapter = findIndex(adapters, IfIndex);
    if (!adapter)
        return ERROR_NO_DATA;
    if (adapter->dnsFails)
        return ERROR_NOT_SUPPORTED;

    const ULONG needed = ULONG(sizeof(IP_PER_ADAPTER_INFO)) + extraNodes(adapter->dnsServers.size());
    if (!pPerAdapterInfo || *pOutBufLen < needed) {
        *pOutBufLen = needed;
        return ERROR_BUFFER_OVERFLOW;
    }

    std::memset(pPerAdapterInfo, 0, needed);
    pPerAdapterInfo->AutoconfigEnabled = 1;
    std::vector<Address> servers;
    for (const std::string &server : adapter->dnsServers)
        servers.push_back({server, ""});
    auto *spare = reinterpret_cast<IP_ADDR_STRING *>(pPerAdapterInfo + 1);
    fillList(pPerAdapterInfo->DnsServerList, servers, spare);
    return ERROR_SUCCESS;
}

namespace platform {

QString programPath(const QString &windowsPath)
{
    QString path = windowsPath;
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// The test says where the class key file is; nothing keeps it in step here.
QString adapterClassKey()
{
    return qEnvironmentVariable("VANTOREL_CLASS_KEY");
}

} // namespace platform
