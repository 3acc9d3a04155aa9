// Small readings of the kernel's own files (procfs, sysfs), shared by the
// stand-ins and the network shell.
#pragma once

#include <string>
#include <sys/types.h>

namespace procfs {

// The whole file; empty when it can't be read.
std::string readFile(const std::string &path);

// This program's file, as the kernel started it; empty when /proc can't tell.
std::string ownProgram();

// The path names something (stat() follows a link).
bool exists(const std::string &path);

// net.ipv4.conf.<interface>.promote_secondaries, "0" or "1" (empty: unreadable).
std::string promoteSecondaries(const std::string &ifname);
bool setPromoteSecondaries(const std::string &ifname, const std::string &value);

} // namespace procfs
