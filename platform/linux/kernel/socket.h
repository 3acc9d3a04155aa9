// The kernel room's one kind of rtnetlink socket, its one dump loop, and the
// sending back of a message the kernel sent.
#pragma once

#include "kernel/error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct nl_sock;
struct nlmsghdr;

namespace rtnl {

using sys::Error;

struct SocketFree { void operator()(nl_sock *socket) const; };
using Socket = std::unique_ptr<nl_sock, SocketFree>;

// An rtnetlink socket in the calling thread's network namespace; with
// `groups` (RTMGRP_*) one that hears those notifications and sends nothing.
// Null, with the reason in *error, when none can be had.
Socket connect(Error *error, uint32_t groups = 0);

// Asks for a whole table, RTM_GETLINK, RTM_GETADDR or RTM_GETROUTE (IPv4
// addresses and routes), and hands each message of the answer to `visit`.
// False, with the reason in *error, when the kernel could not be asked.
bool dump(nl_sock *socket, int type, const std::function<void(const nlmsghdr *)> &visit, Error *error);

using Message = std::vector<uint8_t>;   // one netlink message, header included

// The message of an address or a route with the state the kernel reports but
// takes no orders about taken out: which address of a subnet is primary, a
// link that is down, and, unless kept, the lifetimes left.
Message normalized(const Message &message, bool keepLifetime);
// Sends an address or route the kernel sent as the request `type`
// (RTM_NEWADDR, RTM_DELROUTE, ...) and waits for its answer; a libnl error code.
int sendBack(nl_sock *socket, const Message &message, int type, int flags);
// "<what>: <libnl's words for code>".
Error errorText(int code, const char *what = nullptr);

} // namespace rtnl
