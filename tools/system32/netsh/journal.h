// The journal: what an interface had before a change, kept in a journal until the
// change is done, and putting it back. A netsh killed half way leaves the
// journal behind; the next netsh for the interface finishes from it.
#pragma once

#include "configure.h"
#include "netsh.h"

#include "kernel/verbatim.h"
#include "records/records.h"

#include <string>

namespace netsh {

struct Before {
    verbatim::Copy kernel;              // every address and route, as the kernel told them
    Config config;                      // the same, as the change sees them
    records::InterfaceState state;
    bool clientRunning = false;
    std::string promote;                // promote_secondaries
};

// What a change ends in: a static configuration, or the DHCP client's.
struct Target {
    bool dhcp = false;
    Config config;
};

// Waits until no other netsh changes the interface; held until netsh ends.
// Fails when the record folder can't be used, before anything has changed.
sys::Error lockInterface(const std::string &ifname);
// Finishes what a netsh killed during a change of the interface left behind:
// the interface ends as it was before that change, or as it was to be after.
sys::Error recover(const rtnl::Link &link, const Environment &environment);

bool readBefore(const rtnl::Link &link, Before *before, std::string *error);
// Written before the first change.
sys::Error writeJournal(const rtnl::Link &link, const Before &before, const Target &target);
// Ends a change: on failure everything goes back to how it was before. The
// journal goes either way.
bool finish(const rtnl::Link &link, const Before &before, const Environment &environment,
            const sys::Error &failure, std::string *error);
std::string recordError(const std::string &ifname);

} // namespace netsh
