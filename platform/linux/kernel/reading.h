// One reading of the interfaces of the calling thread's network namespace
// with their IPv4 addresses and default routes: one rtnetlink socket, one dump
// per table, joined in memory by interface index.
#pragma once

#include "kernel/rtnl.h"

#include <cstdint>
#include <sys/types.h>

#include <vector>

namespace kernelsnapshot {

struct Interface {
    rtnl::Link link;                        // without `wireless`, which sysfs tells
    std::vector<rtnl::Address4> addresses;  // primary addresses first, in the kernel's order
    std::vector<rtnl::Route4> defaultRoutes; // through this interface, lowest metric first
};

// How many times this process's line has forked so far, as its child sees it: a
// child shares its parent's sockets, and must not read from them.
unsigned forks();

// The network namespace the calling thread is in (a thread may have setns()'d
// away from the rest of the process); false when /proc can't tell.
bool currentNamespace(dev_t *device, ino_t *inode);

// Every interface, by index. Empty, with the reason in *error, when the kernel
// could not be asked.
std::vector<Interface> read(sys::Error *error);

} // namespace kernelsnapshot
