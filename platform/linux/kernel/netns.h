// Which network namespace the calling thread is in, and whether it is the
// machine's own: the one answer that the stand-ins, the managers, netsh and
// the DHCP client's hook all go by.
#pragma once

#include <string>
#include <sys/types.h>

namespace netns {

// A network namespace as nsfs numbers it; inode 0 when it could not be read.
struct Id {
    dev_t device = 0;
    ino_t inode = 0;

    bool known() const { return inode != 0; }
    bool operator==(const Id &other) const { return device == other.device && inode == other.inode; }
    bool operator!=(const Id &other) const { return !(*this == other); }
};

// The calling thread's namespace (a thread may have setns()'d away from the
// rest of the process).
Id current();
// A process's namespace ("self" or a pid); unknown when it can't be read
// (another user's process, one that has ended, a /proc that hides it).
Id of(const std::string &pid);
// Both known and the same.
bool same(const Id &a, const Id &b);

// Whether the calling thread is in the machine's own network namespace:
// init's (pid 1), the one that the machine's systemd-resolved and
// systemd-networkd serve. Where pid 1's namespace can't be read (a hardened
// or partial /proc, ptrace rules for a user who is not root) nothing tells
// which namespace this is, and the answer is no: the machine's resolver and
// network daemons are then neither asked about nor changed for interfaces
// that may not be theirs, and the namespace's own resolv.conf is what counts.
bool isMachines();

// The current namespace's name for its records folder: "c<cookie>", from the
// cookie the kernel never hands out twice while it runs, or the inode on a
// kernel without cookies (before Linux 5.14).
std::string folderName();

// How many times this process's line has forked so far, as its child sees
// it: a child shares its parent's sockets, and must not read from them.
unsigned forks();

} // namespace netns
