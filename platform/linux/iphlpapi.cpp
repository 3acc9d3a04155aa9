// GetAdaptersInfo and GetPerAdapterInfo over the kernel of the calling
// process's network namespace.
#include "iphelper.h"
#include "iphlpapi_text.h"

#include "kernel/changewatch.h"
#include "kernel/devices.h"
#include "kernel/netns.h"
#include "kernel/procfs.h"
#include "kernel/rtnl.h"
#include "managers/networkmanager.h"
#include "records/records.h"

#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

namespace {

using AddressText = std::pair<std::string, std::string>;   // address, mask

// ERROR_GEN_FAILURE: the kernel could not be asked.
constexpr DWORD errorGenFailure = 31;

struct Adapter {
    rtnl::Link link;
    std::string description;
    UINT type = MIB_IF_TYPE_OTHER;
    bool dhcp = false;
    std::vector<AddressText> addresses;
    std::vector<AddressText> gateways;
    std::string dhcpServer;
    // What netsh and the DHCP client recorded; GetPerAdapterInfo's DNS servers come from here.
    bool recorded = false;
    records::InterfaceState state;
    bool leased = false;
    records::Lease lease;
};

// One reading of the adapter table, by interface index.
struct Table {
    std::vector<Adapter> adapters;
    ULONG size = 0;   // the bytes GetAdaptersInfo needs for it

    const Adapter *byIndex(int index) const
    {
        const auto a = std::lower_bound(adapters.begin(), adapters.end(), index,
                                        [](const Adapter &a, int i) { return a.link.index < i; });
        return a != adapters.end() && a->link.index == index ? &*a : nullptr;
    }
};

bool isLoopback(const rtnl::Link &link)
{
    return link.arptype == ARPHRD_LOOPBACK || (link.flags & IFF_LOOPBACK);
}

UINT typeOf(const rtnl::Link &link, const devices::Facts &facts)
{
    switch (link.arptype) {
    case ARPHRD_ETHER:
        return facts.wireless ? IF_TYPE_IEEE80211 : MIB_IF_TYPE_ETHERNET;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
        return IF_TYPE_IEEE80211;
    case ARPHRD_PPP:
        return MIB_IF_TYPE_PPP;
    default:
        return MIB_IF_TYPE_OTHER;
    }
}

// The PCI ID database is large and the answer never changes: look each device
// up once per process, and only for an interface on the PCI bus.
std::string pciModelName(unsigned vendor, unsigned device)
{
    static std::mutex lock;
    static std::map<std::pair<unsigned, unsigned>, std::string> known;
    const std::lock_guard<std::mutex> guard(lock);
    const auto key = std::make_pair(vendor, device);
    const auto found = known.find(key);
    if (found != known.end())
        return found->second;
    std::ifstream ids("/usr/share/misc/pci.ids");
    return known[key] = iphlpapitext::pciModelName(ids, vendor, device);
}

// The device's model name where the PCI ID database knows it, else the
// driver's name, else the interface's name.
std::string descriptionOf(const rtnl::Link &link, const devices::Facts &facts)
{
    const std::string model = facts.pci ? pciModelName(facts.vendor, facts.device) : std::string();
    if (!model.empty())
        return model;
    return facts.driver.empty() ? link.name : facts.driver;
}

// What the network shell and the DHCP client recorded for the adapter: its
// address method, its DHCP server, and what GetPerAdapterInfo needs.
void addRecords(Adapter *a, const rtnl::Interface &kernel, const std::set<std::string> &recorded)
{
    // A record speaks for the adapter only while it still describes it.
    if (recorded.count(a->link.name)) {
        a->recorded = records::load(a->link, &a->state) && records::holds(a->state, kernel.addresses);
        if (a->recorded && a->state.method == "dhcp")
            a->leased = records::loadLease(a->link, &a->lease);
    }
    if (a->recorded && !a->state.method.empty())
        a->dhcp = a->state.method == "dhcp";
    else
        a->dhcp = !kernel.addresses.empty() && !kernel.addresses.front().permanent;
    if (a->leased) {
        const std::vector<std::string> server = iphlpapitext::ipv4Words(a->lease.server);
        if (!server.empty())
            a->dhcpServer = server.front();
    }
}

size_t extraNodes(size_t entries)
{
    return entries > 1 ? entries - 1 : 0;
}

ULONG sizeFor(const std::vector<Adapter> &adapters)
{
    size_t size = 0;
    for (const Adapter &a : adapters) {
        size += sizeof(IP_ADAPTER_INFO)
            + (extraNodes(a.addresses.size()) + extraNodes(a.gateways.size())) * sizeof(IP_ADDR_STRING);
    }
    return static_cast<ULONG>(size);
}

// The kernel once, the records once per interface, sysfs and ethtool only about
// interfaces not seen before.
std::shared_ptr<const Table> readTable(const std::string &folder, const ChangeWatch &watch, devices::Known *devices,
                                       sys::Error *error)
{
    const std::vector<rtnl::Interface> kernel = rtnl::read(error);
    if (!error->empty())
        return nullptr;
    const std::set<std::string> recorded = records::recordedInterfaces(folder);
    // What NetworkManager does for the adapters it manages: one query per reading.
    const std::map<std::string, networkmanager::View> managed = networkmanager::managed();
    devices->update(kernel, watch.watched());
    auto table = std::make_shared<Table>();
    std::vector<std::string> described;
    for (const rtnl::Interface &k : kernel) {
        if (isLoopback(k.link))
            continue;
        Adapter a;
        a.link = k.link;
        a.description = descriptionOf(a.link, devices->of(a.link.index));
        a.type = typeOf(a.link, devices->of(a.link.index));
        described.push_back(a.description);
        for (const rtnl::Address4 &address : k.addresses)
            a.addresses.emplace_back(rtnl::toText(address.address), rtnl::toText(rtnl::prefixToMask(address.prefix)));
        for (const rtnl::Route4 &route : k.defaultRoutes) {
            if (route.gateway)
                a.gateways.emplace_back(rtnl::toText(route.gateway), "255.255.255.255");
        }
        addRecords(&a, k, recorded);
        const auto view = managed.find(a.link.name);
        if (view != managed.end())
            a.dhcp = view->second.dhcp;
        table->adapters.push_back(std::move(a));
    }
    described = iphlpapitext::distinctDescriptions(described);
    for (size_t i = 0; i < described.size(); ++i)
        table->adapters[i].description = std::move(described[i]);
    table->size = sizeFor(table->adapters);
    return table;
}

// The table of the last reading, for as long as nothing it was read from has
// changed: the buffer-size retry and a run of queries cost one reading, and a
// reading after any change sees the change.
std::shared_ptr<const Table> currentTable(sys::Error *error)
{
    static std::mutex lock;
    static ChangeWatch watch;
    static devices::Known devices;
    static std::shared_ptr<const Table> table;
    static std::string stateRoot;
    const std::lock_guard<std::mutex> guard(lock);
    // The records folder follows the namespace, which the watch minds, and
    // VANTOREL_STATE_DIR; finding its name anew at every call costs more.
    const char *root = std::getenv("VANTOREL_STATE_DIR");
    if (table && stateRoot == (root ? root : "") && watch.unchanged())
        return table;
    stateRoot = root ? root : "";
    const std::string folder = records::namespaceFolder();
    watch.arm(folder);
    table = readTable(folder, watch, &devices, error);
    if (!table)
        watch.drop();
    return table;
}

void copyText(char *to, size_t capacity, const std::string &text)
{
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

void setNode(IP_ADDR_STRING *node, const AddressText &text)
{
    copyText(node->IpAddress.String, sizeof node->IpAddress.String, text.first);
    copyText(node->IpMask.String, sizeof node->IpMask.String, text.second);
}

// Fills the list that starts at `head` (which the entry holds itself); the
// nodes beyond the first come from `spare`, which moves on past them.
void fillList(IP_ADDR_STRING *head, const std::vector<AddressText> &items, const AddressText &none,
              IP_ADDR_STRING *&spare)
{
    setNode(head, items.empty() ? none : items.front());
    IP_ADDR_STRING *last = head;
    for (size_t i = 1; i < items.size(); ++i) {
        IP_ADDR_STRING *node = spare++;
        setNode(node, items[i]);
        last->Next = node;
        last = node;
    }
}

// The entries first, one after another, then the list nodes they point to.
void layOut(const std::vector<Adapter> &adapters, IP_ADAPTER_INFO *entries, ULONG size)
{
    std::memset(entries, 0, size);
    IP_ADDR_STRING *spare = reinterpret_cast<IP_ADDR_STRING *>(entries + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        const Adapter &a = adapters[i];
        IP_ADAPTER_INFO *e = entries + i;
        e->Next = i + 1 < adapters.size() ? e + 1 : nullptr;
        e->ComboIndex = a.link.index;
        copyText(e->AdapterName, sizeof e->AdapterName, a.link.name);
        copyText(e->Description, sizeof e->Description, a.description);
        e->AddressLength = std::min<size_t>(a.link.address.size(), MAX_ADAPTER_ADDRESS_LENGTH);
        std::copy_n(a.link.address.begin(), e->AddressLength, e->Address);
        e->Index = a.link.index;
        e->Type = a.type;
        e->DhcpEnabled = a.dhcp;
        fillList(&e->IpAddressList, a.addresses, {"0.0.0.0", "0.0.0.0"}, spare);
        e->CurrentIpAddress = &e->IpAddressList;
        fillList(&e->GatewayList, a.gateways, {"0.0.0.0", "255.255.255.255"}, spare);
        if (!a.dhcpServer.empty())
            setNode(&e->DhcpServer, {a.dhcpServer, "255.255.255.255"});
        e->HaveWins = 0;
    }
}

// systemd-resolved serves the namespace it runs in, which is init's; in any
// other namespace its links are not ours and resolv.conf is what applies.
std::vector<std::string> resolverServers(const std::string &ifname)
{
    if (procfs::exists("/run/systemd/resolve") && netns::isMachines()) {
        QProcess resolvectl;
        resolvectl.start(QStringLiteral("resolvectl"), {QStringLiteral("dns")});
        if (resolvectl.waitForFinished(3000) && resolvectl.exitStatus() == QProcess::NormalExit
            && resolvectl.exitCode() == 0)
            return iphlpapitext::resolvectlServers(resolvectl.readAllStandardOutput().toStdString(), ifname);
        resolvectl.kill();
        resolvectl.waitForFinished(1000);
    }
    return iphlpapitext::resolvConfServers(procfs::readFile("/etc/resolv.conf"));
}

std::vector<std::string> dnsServers(const Adapter &a)
{
    // NetworkManager's servers can change with no change in the kernel: asked at every call.
    const std::map<std::string, networkmanager::View> managed = networkmanager::managed(false);
    const auto view = managed.find(a.link.name);
    if (view != managed.end())
        return view->second.dns;
    if (a.recorded && a.state.dnsSource == "static")
        return iphlpapitext::ipv4Words(a.state.staticDns);
    if (a.recorded && a.state.method == "dhcp" && a.leased) {
        const std::vector<std::string> servers = iphlpapitext::ipv4Words(a.lease.dns);
        if (!servers.empty())
            return servers;
    }
    return resolverServers(a.link.name);
}

} // namespace

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer)
{
    if (!SizePointer)
        return ERROR_INVALID_PARAMETER;
    sys::Error error;
    const std::shared_ptr<const Table> table = currentTable(&error);
    if (!table)
        return errorGenFailure;
    if (table->adapters.empty())
        return ERROR_NO_DATA;
    if (!AdapterInfo || *SizePointer < table->size) {
        *SizePointer = table->size;
        return ERROR_BUFFER_OVERFLOW;
    }
    layOut(table->adapters, AdapterInfo, table->size);
    return ERROR_SUCCESS;
}

DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen)
{
    if (!pOutBufLen)
        return ERROR_INVALID_PARAMETER;
    sys::Error error;
    const std::shared_ptr<const Table> table = currentTable(&error);
    if (!table)
        return errorGenFailure;
    const Adapter *adapter = table->byIndex(static_cast<int>(IfIndex));
    if (!adapter)
        return ERROR_NO_DATA;

    std::vector<AddressText> servers;
    for (const std::string &server : dnsServers(*adapter))
        servers.emplace_back(server, std::string());
    const ULONG size = sizeof(IP_PER_ADAPTER_INFO) + extraNodes(servers.size()) * sizeof(IP_ADDR_STRING);
    if (!pPerAdapterInfo || *pOutBufLen < size) {
        *pOutBufLen = size;
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(pPerAdapterInfo, 0, size);
    IP_ADDR_STRING *spare = reinterpret_cast<IP_ADDR_STRING *>(pPerAdapterInfo + 1);
    fillList(&pPerAdapterInfo->DnsServerList, servers, {std::string(), std::string()}, spare);
    pPerAdapterInfo->CurrentDnsServer = &pPerAdapterInfo->DnsServerList;
    return ERROR_SUCCESS;
}
