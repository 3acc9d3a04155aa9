// The texts the IP Helper stand-in reads besides the kernel: the resolver's
// files and answers, the PCI ID database. Pure functions over text, so that
// they can be tried on samples.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace iphlpapitext {

// The IPv4 servers of the "nameserver" lines of a resolv.conf, in order.
std::vector<std::string> resolvConfServers(const std::string &content);

// The IPv4 servers that `resolvectl dns` lists for the interface ("Link 2 (eth0): ...");
// the global ones ("Global: ...") when it lists none of its own.
std::vector<std::string> resolvectlServers(const std::string &output, const std::string &ifname);

// The IPv4 addresses of a blank-separated list, in order; anything else is dropped.
std::vector<std::string> ipv4Words(const std::string &text);

// The device's name in a pci.ids database ("82540EM Gigabit Ethernet Controller"),
// empty when the database doesn't know it.
std::string pciModelName(std::istream &pciIds, unsigned vendor, unsigned device);

// The descriptions as Windows shows them: the second adapter of a kind gets
// " #2", the third " #3", ..., in the given order.
std::vector<std::string> distinctDescriptions(const std::vector<std::string> &descriptions);

} // namespace iphlpapitext
