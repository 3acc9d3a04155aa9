// The DHCP client (dhcpcd) that netsh starts for an interface and stops again.
#pragma once

#include "netsh.h"
#include "kernel/error.h"

#include <string>

namespace netsh {

// The process is a live dhcpcd of this network namespace.
bool isRunningClient(int pid);
// Ends the client; the interface keeps what it has.
sys::Error stopClient(int pid);
// The client running for the interface by its pid file, 0 for none.
int clientOf(const std::string &ifname);
// Starts dhcpcd for the interface; it goes on running after netsh ends.
sys::Error startClient(const std::string &ifname, const Environment &environment, int *pid);

} // namespace netsh
