// GetAdaptersInfo and GetPerAdapterInfo over the kernel of the calling
// process's network namespace.
#include "iphelper.h"
#include "iphlpapi_text_linux.h"
#include "netstate_linux.h"
#include "networkmanager_linux.h"
#include "rtnl_linux.h"

#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/ethtool.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/sockios.h>
#include <map>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace iphlpapitext {

namespace {

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string w; in >> w;)
        result.push_back(w);
    return result;
}

bool isIpv4(const std::string &text)
{
    uint32_t ignored;
    return rtnl::fromText(text, &ignored);
}

// "a.b.c.d#server-name" and "a.b.c.d:53" as resolvectl may print them.
std::string withoutDecoration(std::string server)
{
    server = server.substr(0, server.find('#'));
    if (std::count(server.begin(), server.end(), ':') == 1)
        server = server.substr(0, server.find(':'));
    return server;
}

} // namespace

std::vector<std::string> ipv4Words(const std::string &text)
{
    std::vector<std::string> result;
    for (const std::string &w : words(text)) {
        if (isIpv4(w))
            result.push_back(w);
    }
    return result;
}

std::vector<std::string> resolvConfServers(const std::string &content)
{
    std::vector<std::string> result;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        // resolv.conf(5): the keyword starts the line, the address follows it.
        const std::vector<std::string> w = words(line);
        if (line.rfind("nameserver", 0) == 0 && w.size() >= 2 && w[0] == "nameserver"
            && isIpv4(w[1]))
            result.push_back(w[1]);
    }
    return result;
}

std::vector<std::string> resolvectlServers(const std::string &output, const std::string &ifname)
{
    std::vector<std::string> global;
    const std::string linkTag = "(" + ifname + "):";
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::vector<std::string> servers;
        for (const std::string &w : words(line.substr(colon + 1))) {
            const std::string server = withoutDecoration(w);
            if (isIpv4(server))
                servers.push_back(server);
        }
        const std::vector<std::string> head = words(line.substr(0, colon + 1));
        if (head.size() == 3 && head[0] == "Link" && head[2] == linkTag && !servers.empty())
            return servers;
        if (head.size() == 1 && head[0] == "Global:")
            global = servers;
    }
    return global;
}

std::string pciModelName(std::istream &pciIds, unsigned vendor, unsigned device)
{
    // Vendors start a line ("8086  Intel Corporation"), their devices follow
    // after one tab ("\t100e  82540EM ..."), subsystems after two.
    bool inVendor = false;
    for (std::string line; std::getline(pciIds, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] != '\t') {
            if (inVendor)
                return std::string();
            inVendor = line.size() > 6 && std::strtoul(line.substr(0, 4).c_str(), nullptr, 16) == vendor
                && line.compare(4, 2, "  ") == 0;
            continue;
        }
        if (inVendor && line.size() > 7 && line[1] != '\t' && line.compare(5, 2, "  ") == 0
            && std::strtoul(line.substr(1, 4).c_str(), nullptr, 16) == device)
            return line.substr(7);
    }
    return std::string();
}

std::vector<std::string> distinctDescriptions(const std::vector<std::string> &descriptions)
{
    std::map<std::string, int> seen;
    std::vector<std::string> result;
    for (const std::string &d : descriptions) {
        const int n = ++seen[d];
        result.push_back(n == 1 ? d : d + " #" + std::to_string(n));
    }
    return result;
}

} // namespace iphlpapitext

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
};

bool isLoopback(const rtnl::Link &link)
{
    return link.arptype == ARPHRD_LOOPBACK || (link.flags & IFF_LOOPBACK);
}

UINT typeOf(const rtnl::Link &link)
{
    switch (link.arptype) {
    case ARPHRD_ETHER:
        return link.wireless ? IF_TYPE_IEEE80211 : MIB_IF_TYPE_ETHERNET;
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

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned readHex(const std::string &path)
{
    return std::strtoul(readFile(path).c_str(), nullptr, 16);
}

bool onPciBus(const std::string &device)
{
    char target[256] = {};
    const ssize_t n = ::readlink((device + "/subsystem").c_str(), target, sizeof target - 1);
    const std::string bus = n > 0 ? std::string(target, n) : std::string();
    return bus.size() >= 4 && bus.compare(bus.size() - 4, 4, "/pci") == 0;
}

// The PCI device behind the interface, or behind its virtio device.
std::string pciModel(const rtnl::Link &link)
{
    const std::string dir = rtnl::sysfsDir(link);
    if (dir.empty())
        return std::string();
    for (const std::string &device : {dir + "/device", dir + "/device/.."}) {
        if (!onPciBus(device))
            continue;
        std::ifstream ids("/usr/share/misc/pci.ids");
        return iphlpapitext::pciModelName(ids, readHex(device + "/vendor"), readHex(device + "/device"));
    }
    return std::string();
}

std::string driverName(const std::string &ifname)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string();
    ethtool_drvinfo info {};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq request {};
    std::strncpy(request.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char *>(&info);
    const bool ok = ::ioctl(fd, SIOCETHTOOL, &request) == 0;
    ::close(fd);
    return ok ? std::string(info.driver, strnlen(info.driver, sizeof info.driver)) : std::string();
}

std::string descriptionOf(const rtnl::Link &link)
{
    std::string description = pciModel(link);
    if (description.empty())
        description = driverName(link.name);
    return description.empty() ? link.name : description;
}

std::vector<Adapter> readAdapters(rtnl::Error *error)
{
    std::vector<Adapter> adapters;
    // ---- What NetworkManager does for the adapters it manages: one query ----
    const std::map<std::string, networkmanager::View> managed = networkmanager::managed();
    for (const rtnl::Link &link : rtnl::links(error)) {
        if (isLoopback(link))
            continue;
        Adapter a;
        a.link = link;
        a.type = typeOf(link);
        a.description = descriptionOf(link);

        const std::vector<rtnl::Address4> addresses = rtnl::addresses(link.index, error);
        if (!error->empty())
            return {};
        for (const rtnl::Address4 &address : addresses)
            a.addresses.emplace_back(rtnl::toText(address.address),
                                     rtnl::toText(rtnl::prefixToMask(address.prefix)));

        const std::vector<rtnl::Route4> routes = rtnl::defaultRoutes(link.index, error);
        if (!error->empty())
            return {};
        for (const rtnl::Route4 &route : routes) {
            if (route.gateway)
                a.gateways.emplace_back(rtnl::toText(route.gateway), "255.255.255.255");
        }

        netstate::InterfaceState state;
        if (netstate::load(link.name, link.index, &state) && !state.method.empty())
            a.dhcp = state.method == "dhcp";
        else
            a.dhcp = !addresses.empty() && !addresses.front().permanent;
        const auto view = managed.find(link.name);
        if (view != managed.end())
            a.dhcp = view->second.dhcp;

        netstate::Lease lease;
        if (state.method != "static" && netstate::loadLease(link.name, &lease)) {
            const std::vector<std::string> server = iphlpapitext::ipv4Words(lease.server);
            if (!server.empty())
                a.dhcpServer = server.front();
        }
        adapters.push_back(a);
    }
    if (!error->empty())
        return {};

    std::vector<std::string> descriptions;
    for (const Adapter &a : adapters)
        descriptions.push_back(a.description);
    descriptions = iphlpapitext::distinctDescriptions(descriptions);
    for (size_t i = 0; i < adapters.size(); ++i)
        adapters[i].description = descriptions[i];
    return adapters;
}

size_t extraNodes(size_t entries)
{
    return entries > 1 ? entries - 1 : 0;
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

ULONG sizeFor(const std::vector<Adapter> &adapters)
{
    size_t size = 0;
    for (const Adapter &a : adapters) {
        size += sizeof(IP_ADAPTER_INFO)
            + (extraNodes(a.addresses.size()) + extraNodes(a.gateways.size())) * sizeof(IP_ADDR_STRING);
    }
    return static_cast<ULONG>(size);
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

bool exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool sameNetworkNamespace(const char *a, const char *b)
{
    struct stat sa, sb;
    if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0)
        return true;   // not ours to look at: the usual case of one namespace
    return sa.st_ino == sb.st_ino && sa.st_dev == sb.st_dev;
}

// systemd-resolved serves the namespace it runs in, which is init's; in any
// other namespace its links are not ours and resolv.conf is what applies.
std::vector<std::string> resolverServers(const std::string &ifname)
{
    if (exists("/run/systemd/resolve") && sameNetworkNamespace("/proc/self/ns/net", "/proc/1/ns/net")) {
        QProcess resolvectl;
        resolvectl.start(QStringLiteral("resolvectl"), {QStringLiteral("dns")});
        if (resolvectl.waitForFinished(3000) && resolvectl.exitStatus() == QProcess::NormalExit
            && resolvectl.exitCode() == 0)
            return iphlpapitext::resolvectlServers(resolvectl.readAllStandardOutput().toStdString(), ifname);
        resolvectl.kill();
        resolvectl.waitForFinished(1000);
    }
    return iphlpapitext::resolvConfServers(readFile("/etc/resolv.conf"));
}

std::vector<std::string> dnsServers(const rtnl::Link &link)
{
    const std::map<std::string, networkmanager::View> managed = networkmanager::managed(false);
    const auto view = managed.find(link.name);
    if (view != managed.end())
        return view->second.dns;
    netstate::InterfaceState state;
    const bool recorded = netstate::load(link.name, link.index, &state);
    if (recorded && state.dnsSource == "static")
        return iphlpapitext::ipv4Words(state.staticDns);
    netstate::Lease lease;
    if (recorded && state.method == "dhcp" && netstate::loadLease(link.name, &lease)) {
        const std::vector<std::string> servers = iphlpapitext::ipv4Words(lease.dns);
        if (!servers.empty())
            return servers;
    }
    return resolverServers(link.name);
}

} // namespace

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer)
{
    if (!SizePointer)
        return ERROR_INVALID_PARAMETER;
    rtnl::Error error;
    const std::vector<Adapter> adapters = readAdapters(&error);
    if (!error.empty())
        return errorGenFailure;
    if (adapters.empty())
        return ERROR_NO_DATA;
    const ULONG size = sizeFor(adapters);
    if (!AdapterInfo || *SizePointer < size) {
        *SizePointer = size;
        return ERROR_BUFFER_OVERFLOW;
    }
    layOut(adapters, AdapterInfo, size);
    return ERROR_SUCCESS;
}

DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen)
{
    if (!pOutBufLen)
        return ERROR_INVALID_PARAMETER;
    rtnl::Error error;
    rtnl::Link link;
    if (!rtnl::linkByIndex(static_cast<int>(IfIndex), &link, &error))
        return error.empty() ? ERROR_NO_DATA : errorGenFailure;
    if (isLoopback(link))
        return ERROR_NO_DATA;

    std::vector<AddressText> servers;
    for (const std::string &server : dnsServers(link))
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
