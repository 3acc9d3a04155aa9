// What sysfs and ethtool tell of the network devices beside rtnetlink: the
// driver, whether a device is wireless, and the PCI device behind it.
#pragma once

#include "kernel/netns.h"
#include "kernel/rtnl.h"

#include <map>
#include <string>
#include <vector>

namespace devices {

struct Facts {
    std::string name;               // the interface's name when they were found
    // sysfs's driver link for a device, ethtool's driver for a virtual
    // interface; empty when neither tells.
    std::string driver;
    bool wireless = false;          // a wireless extension or phy80211
    // The PCI device: the device itself, or the one behind a virtio device.
    bool pci = false;
    unsigned vendor = 0;
    unsigned device = 0;
};

// The facts of every interface of one namespace. What a device is doesn't
// change while it exists, so sysfs and ethtool are asked only about an index
// not seen before or seen under another name.
class Known
{
public:
    Known() = default;
    ~Known();
    Known(const Known &) = delete;
    Known &operator=(const Known &) = delete;

    // Brings the facts up to the interfaces of a new reading of `space`.
    void update(const std::vector<rtnl::Interface> &interfaces, const netns::Id &space);
    const Facts &of(int index) const { return m_known.at(index); }

private:
    Facts find(const rtnl::Link &link);
    std::string ethtoolDriver(const std::string &ifname);

    std::map<int, Facts> m_known;
    netns::Id m_space;
    int m_socket = -1;
};

} // namespace devices
