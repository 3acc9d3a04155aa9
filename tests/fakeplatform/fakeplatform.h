// A scripted platform that unit tests link instead of vantorel_platform: IP Helper over an adapter table, SetupAPI
// over a device set, both in `fake::state`, and the class key in the file that VANTOREL_CLASS_KEY names.
#pragma once

#include "iphelper.h"
#include "devicesetup.h"

#include <QStringList>
#include <functional>
#include <string>
#include <vector>

namespace fake {

// An adapter as IP Helper reports it, with one entry in each of its lists.
struct Adapter {
    std::string name, description;
    unsigned index = 1, type = MIB_IF_TYPE_ETHERNET, dhcpEnabled = 0;
    std::string address = "0.0.0.0", mask = "0.0.0.0", gateway = "0.0.0.0";   // IP Helper's text for none
    std::string dnsServer = {}, dhcpServer = {};
    bool dnsFails = false;   // GetPerAdapterInfo fails for this index
};

// What the platform answers and what it was asked. `fake::state = {}` starts afresh.
struct State {
    std::vector<Adapter> adapters;
    bool adaptersInfoFails = false;
    std::function<void()> onAdaptersInfo;                    // run inside the next GetAdaptersInfo, before it reads
    std::vector<ULONG> adaptersInfoSizes, perAdapterSizes;   // the byte count each call was given
    std::vector<std::u16string> drivers;   // the device set's SPDRP_DRIVER texts; empty: that one can't be read
    int failChangeCall = 0;                // this SetupDiSetClassInstallParamsW or SetupDiChangeState call (from 1)
    int changeCalls = 0, openSets = 0;
    QString changes;   // ", stop 2, change 2": the parameters installed for a device, its state changed
};
extern State state;

// Writes <systemroot>/system32/cmd.exe, a shell script that records its run, then runs `then`; sets "systemroot".
bool installCmdExe(const QString &systemroot, const QByteArray &then = {});
// The runs recorded since the last call: the script's path, its pid, then its arguments.
QList<QStringList> takeRuns(const QString &systemroot);

} // namespace fake
