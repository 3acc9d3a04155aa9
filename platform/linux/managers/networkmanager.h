// NetworkManager over its D-Bus API (QtDBus), for the interfaces it manages in
// the current network namespace. A change is made in the connection profile
// active on the device (a new profile only when the device has none), so that
// NetworkManager applies it now and after every reconnect.
//
// Without a system bus, or without a NetworkManager serving this network
// namespace, every question answers "not managed" at once: no D-Bus time-outs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace networkmanager {

// What the IP Helper stand-in shows for a managed interface.
struct View {
    bool dhcp = false;              // the profile's ipv4.method is "auto"
    std::vector<std::string> dns;   // the device's IPv4 DNS servers as NetworkManager has them
};

// Every interface NetworkManager manages here, by name: one bus round trip,
// plus one per active profile when `methods` are wanted (View::dhcp).
std::map<std::string, View> managed(bool methods = true);

bool manages(const std::string &ifname);

// One of the four IPv4 changes of the network shell. Addresses in network byte order.
struct Change {
    enum What { StaticAddress, DhcpAddress, StaticDns, DhcpDns } what = StaticAddress;
    uint32_t address = 0;           // StaticAddress, StaticDns
    int prefix = 0;                 // StaticAddress
    uint32_t gateway = 0;           // StaticAddress; 0 for none
};

// Writes the change into the device's profile and applies it, waiting (with a
// time limit) until the device has it. On failure the profile is as it was and
// applied again, and *error holds one line with NetworkManager's own words.
bool apply(const std::string &ifname, const Change &change, std::string *error);

// The device's hardware address override and restart, through the profile's
// cloned MAC address: stop disconnects the device; start writes `mac`
// ("02:11:22:33:44:55", or empty for the adapter's own address) into the
// profile and activates it, which brings its IPv4 configuration back.
bool stop(const std::string &ifname, std::string *error);
bool start(const std::string &ifname, const std::string &mac, std::string *error);

} // namespace networkmanager
