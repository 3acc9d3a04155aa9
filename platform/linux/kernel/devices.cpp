#include "kernel/devices.h"

#include "kernel/procfs.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace devices {

namespace {

unsigned readHex(const std::string &path)
{
    return std::strtoul(procfs::readFile(path).c_str(), nullptr, 16);
}

// The last part of the path a symbolic link points to, empty when there is no link.
std::string linkTarget(const std::string &path)
{
    char target[256] = {};
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    const std::string full = n > 0 ? std::string(target, n) : std::string();
    return full.substr(full.find_last_of('/') + 1);
}

// sysfs shows the interfaces of the network namespace that mounted it, which
// need not be ours: its folder counts only where it has the same index.
bool sysfsShows(const std::string &dir, const rtnl::Link &link)
{
    std::ifstream in(dir + "/ifindex");
    int index = 0;
    return in >> index && index == link.index;
}

} // namespace

Known::~Known()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

void Known::update(const std::vector<rtnl::Interface> &interfaces, const netns::Id &space)
{
    if (space != m_space)
        m_known.clear();
    m_space = space;
    std::map<int, Facts> current;
    for (const rtnl::Interface &i : interfaces) {
        const auto known = m_known.find(i.link.index);
        current[i.link.index] = known != m_known.end() && known->second.name == i.link.name
            ? std::move(known->second) : find(i.link);
    }
    m_known.swap(current);
    if (m_socket >= 0)
        ::close(m_socket);   // it belongs to this reading's namespace
    m_socket = -1;
}

Facts Known::find(const rtnl::Link &link)
{
    Facts facts;
    facts.name = link.name;
    const std::string dir = "/sys/class/net/" + link.name;
    facts.driver = linkTarget(dir + "/device/driver");
    if (!facts.driver.empty() && !sysfsShows(dir, link))
        facts.driver.clear();
    if (facts.driver.empty()) {
        // A virtual interface. cfg80211 gives every wireless interface a
        // device, so this is no wireless one.
        facts.driver = ethtoolDriver(link.name);
        return facts;
    }
    facts.wireless = procfs::exists(dir + "/wireless") || procfs::exists(dir + "/phy80211");
    for (const std::string &d : {dir + "/device", dir + "/device/.."}) {
        if (linkTarget(d + "/subsystem") == "pci") {
            facts.pci = true;
            facts.vendor = readHex(d + "/vendor");
            facts.device = readHex(d + "/device");
            break;
        }
    }
    return facts;
}

std::string Known::ethtoolDriver(const std::string &ifname)
{
    if (m_socket < 0)
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ethtool_drvinfo info {};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq request {};
    std::strncpy(request.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char *>(&info);
    if (m_socket < 0 || ::ioctl(m_socket, SIOCETHTOOL, &request) != 0)
        return std::string();
    return std::string(info.driver, strnlen(info.driver, sizeof info.driver));
}

} // namespace devices
