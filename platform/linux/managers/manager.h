// Who manages an interface: the one answer that the network shell and the IP
// Helper and SetupAPI stand-ins go by. Two managers on one adapter break it
// (two DHCP clients take the same lease, and the one that stops deletes the
// shared address), so only an interface that nobody else manages is changed
// directly; one that NetworkManager manages is changed through it; any other
// owner is refused.
#pragma once

#include "kernel/processes.h"
#include "kernel/rtnl.h"

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace manager {

enum class Kind { Nobody, NetworkManager, DhcpClient, Networkd };

struct Owner {
    Kind kind = Kind::Nobody;
    std::string name;               // for a message: "NetworkManager", "dhclient (process 812)"
};

// A running program as /proc shows it.
using Process = processes::Process;

// A process that may be a DHCP client of the machine's: it runs as root or as
// the client's own system user. Anyone can name a process "dhclient".
bool trusted(const Process &process);

// The process is a DHCP client that serves the interface: its command line
// names it, or names no interface at all (then it serves every one).
bool serves(const Process &process, const std::string &ifname);

// systemd-networkd's link state file (/run/systemd/netif/links/<index>) says
// it configures the link.
bool networkdManages(const std::string &linkStateFile);

// The decision from what was found. `clients` are the DHCP client processes of
// this network namespace; `own` are those netsh started, with their helpers.
Owner decide(const std::string &ifname, bool networkManager, const std::vector<Process> &clients,
             const std::set<int> &own, bool networkd);

// The live answer for an interface of the current network namespace, short of
// NetworkManager, which is asked on its own (networkmanager::manages): a DHCP
// client that netsh did not start, or systemd-networkd.
Owner foreign(const rtnl::Link &link);

// One line refusing a change of an interface that `owner` manages.
std::string refusal(const std::string &ifname, const Owner &owner);

} // namespace manager
