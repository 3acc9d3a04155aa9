// Small readings of the kernel's own files (procfs, sysfs), shared by the
// stand-ins and the network shell.
#pragma once

#include <string>
#include <sys/types.h>

namespace procfs {

// The whole file; empty when it can't be read.
std::string readFile(const std::string &path);

// A process's network namespace ("self" or a pid) as nsfs numbers it; 0 when
// it can't be read (another user's process, or none).
ino_t netNamespaceOf(const std::string &pid);

// net.ipv4.conf.<interface>.promote_secondaries, "0" or "1" (empty: unreadable).
std::string promoteSecondaries(const std::string &ifname);
bool setPromoteSecondaries(const std::string &ifname, const std::string &value);

} // namespace procfs
