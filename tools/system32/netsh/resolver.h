// The system resolver: the DNS servers of an interface.
#pragma once

#include "kernel/error.h"

#include <string>
#include <vector>

namespace netsh {

// Makes `servers` the interface's DNS servers in the system resolver. With
// none, a resolv.conf whose first server is `formerServer` loses that line.
sys::Error setResolver(const std::string &ifname, const std::vector<std::string> &servers,
                        const std::string &formerServer);

} // namespace netsh
