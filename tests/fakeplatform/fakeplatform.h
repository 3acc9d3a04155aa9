// A scripted platform that unit tests link instead of vantorel_platform: IP Helper over an adapter table, SetupAPI
// over a device set, both in `fake::state`, and the class key in the file that VANTOREL_CLASS_KEY names.
#pragma once

#include "iphelper.h"
#include "devicesetup.h"

#include <QString>
#include <functional>
#include <string>
#include <vector>

namespace fake {

struct Address {
    std::string address;
    std::string mask = {};   // none given: a gateway's or DNS server's
};

struct Adapter {
    std::string name;
    std::string description;
    unsigned index = 1;
    unsigned type = MIB_IF_TYPE_ETHERNET;
    unsigned dhcpEnabled = 0;
    std::vector<Address> addresses;      // empty: IP Helper's "0.0.0.0"
    std::vector<std::string> gateways;   // empty: "0.0.0.0"
    std::vector<std::string> dnsServers; // empty: one entry of empty text
    std::string dhcpServer = {};
    bool dnsFails = false;               // GetPerAdapterInfo fails for this index
};

// What the platform answers and what it was asked. `fake::state = {}` starts afresh.
struct State {
    std::vector<Adapter> adapters;
    int failAdaptersInfoFrom = 0;                            // the GetAdaptersInfo call (from 1) that starts failing
    std::function<void()> onAdaptersInfo;                    // run inside the next GetAdaptersInfo, before it reads
    std::vector<ULONG> adaptersInfoSizes, perAdapterSizes;   // the byte count each call was given
    std::vector<std::u16string> drivers;   // the device set's SPDRP_DRIVER texts; empty: that one can't be read
    int failChangeCall = 0;                // this SetupDiSetClassInstallParamsW or SetupDiChangeState call (from 1)
    int changeCalls = 0, openSets = 0;
    DWORD classDevsFlags = 0;
    QString changes;   // ", stop 2, change 2": the parameters installed for a device, its state changed
};
extern State state;

// Writes <systemroot>/system32/cmd.exe, a shell script with that body.
bool installCmdExe(const QString &systemroot, const QByteArray &scriptBody);

} // namespace fake
