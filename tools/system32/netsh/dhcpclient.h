// The DHCP client (dhcpcd) that netsh starts for an interface and stops again.
#pragma once

#include "netsh.h"
#include "kernel/error.h"

#include <functional>
#include <string>

namespace netsh {

// The process is a live dhcpcd of this network namespace.
bool isRunningClient(int pid);
// Ends the client and its helpers, which share its mount namespace (0: the
// one it runs in now); the interface keeps what it has.
sys::Error stopClient(int pid, ino_t mounts = 0);
// The client running for the interface by its pid file, 0 for none.
int clientOf(const std::string &ifname);
// Starts dhcpcd for the interface; it goes on running after netsh ends. The
// client runs in a mount namespace of its own, which every process it starts
// keeps: `started` gets that namespace (see spawn) before the client runs. On
// failure no process of it is left.
sys::Error startClient(const std::string &ifname, const Environment &environment, int *pid, ino_t *mounts,
                       const std::function<bool(ino_t)> &started = nullptr);
// Kills every process of this network namespace in that mount namespace: all
// that a client started there, before or after it wrote its pid file.
void stopStarted(ino_t mounts);

} // namespace netsh
