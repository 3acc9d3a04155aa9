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

// Whether setResolver writes the resolver file here, and its content now.
bool resolverFile(std::string *content);
// Writes the resolver file back as it was.
sys::Error putResolverFile(const std::string &content);

} // namespace netsh
