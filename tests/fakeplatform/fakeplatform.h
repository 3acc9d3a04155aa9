// A scripted platform that unit tests link instead of vantorel_platform: IP Helper over an adapter table the test
// sets, SetupAPI over a scripted device set, and the class key in the file that VANTOREL_CLASS_KEY names.
#pragma once

#include "iphelper.h"
#include "devicesetup.h"

#include <QString>
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
    std::string dhcpServer;
    bool dnsFails = false;               // GetPerAdapterInfo fails for this index
};

void setAdapters(const std::vector<Adapter> &adapters);
// GetAdaptersInfo fails from its Nth call on, counting from 1; 0: never.
void failAdaptersInfoFrom(int call);
// Run once, inside the next GetAdaptersInfo call before it reads the table.
void onAdaptersInfo(void (*hook)(void *), void *context);
struct Log { std::vector<ULONG> adaptersInfoSizes, perAdapterSizes; };   // the byte count each call was given
const Log &log();
// Writes <systemroot>/system32/cmd.exe, a shell script with that body.
bool installCmdExe(const QString &systemroot, const QByteArray &scriptBody);
void reset();   // an empty table and device set, no failures, no hook, an empty log
void resetSetupApi();

struct Device {
    std::u16string driver;   // SPDRP_DRIVER text; empty: the property can't be read
};
enum class SetupCall { GetClassDevs, GetProperty, SetParams, ChangeState, Destroy };
struct SetupEvent {
    SetupCall call;
    int device = -1;                 // index in the set, where the call names one
    SP_PROPCHANGE_PARAMS params{};   // SetParams: what the call was given
    DWORD paramsSize = 0;
    DWORD flags = 0;                 // GetClassDevs: the flags
};
void setDevices(const std::vector<Device> &devices);
// The Nth call (from 1) of SetupDiSetClassInstallParamsW or SetupDiChangeState fails.
void failSetParamsCall(int call);
void failChangeStateCall(int call);
const std::vector<SetupEvent> &setupEvents();
int openDeviceSets();   // sets obtained and not yet destroyed

} // namespace fake
