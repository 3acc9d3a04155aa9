// A scripted platform for unit tests. Linking the fake_platform library instead
// of vantorel_platform puts these behind the Windows interfaces the worker uses:
// GetAdaptersInfo/GetPerAdapterInfo over a table the test sets, with failures to
// inject and a log of the calls, and the SetupAPI functions over a scripted
// device set. platform::programPath turns backslashes into slashes as the Linux
// one does; platform::adapterClassKey is the file VANTOREL_CLASS_KEY names, kept
// in step with nothing.
#pragma once

#include "iphlpapi.h"
#include "setupapi.h"

#include <string>
#include <vector>

namespace fake {

struct Address {
    std::string address;
    std::string mask;
};

struct Adapter {
    std::string name;
    std::string description;
    unsigned index = 1;
    unsigned type = MIB_IF_TYPE_ETHERNET;
    unsigned dhcpEnabled = 0;
    std::vector<Address> addresses;      // empty: IP Helper's "0.0.0.0"
    std::vector<std::string> gateways;   // empty: "0.0.0.0"
    std::vector<std::string> dnsServers; // empty: no DNS list entry (empty text)
    std::string dhcpServer;
    bool dnsFails = false;               // GetPerAdapterInfo fails for this index
};

// The adapter table, held in memory.
void setAdapters(const std::vector<Adapter> &adapters);

// Or read afresh from a file on every call, so that another process (a fake
// cmd.exe) can change it. One adapter per line, fields separated by '|':
//   name|description|index|type|dhcpEnabled|ip/mask,ip/mask|gw,gw|dns,dns|dhcpServer
// Empty lists are empty fields. An optional tenth field "1" sets dnsFails.
// An empty path goes back to the in-memory table.
void setTableFile(const std::string &path);
std::vector<Adapter> readTableFile(const std::string &path);
void writeTableFile(const std::string &path, const std::vector<Adapter> &adapters);

// GetAdaptersInfo fails (ERROR_NOT_SUPPORTED) from its Nth call on, counting
// from 1 after reset(); 0: never.
void failAdaptersInfoFrom(int call);

// Called inside GetAdaptersInfo before it answers (re-entrancy tests).
void onAdaptersInfo(void (*hook)(void *), void *context);

struct Log {
    std::vector<ULONG> adaptersInfoSizes;   // the byte count each GetAdaptersInfo call was given
    std::vector<ULONG> perAdapterSizes;     // likewise for GetPerAdapterInfo
    std::vector<ULONG> perAdapterIndexes;
};
const Log &log();

// Back to an empty table, no failures, no hooks, an empty log, an empty device set.
void reset();
// The SetupAPI half of reset(): an empty device set, no failures, no events.
void resetSetupApi();

// ----- SetupAPI -----

struct Device {
    std::u16string driver;     // SPDRP_DRIVER text; empty: the property can't be read
    bool started = true;       // what DICS_STOP/DICS_START leave
};

enum class SetupCall { GetClassDevs, Enum, GetProperty, SetParams, ChangeState, Destroy };

struct SetupEvent {
    SetupCall call;
    int device = -1;                      // index in the set, where the call names one
    SP_PROPCHANGE_PARAMS params{};        // SetParams: what was installed
    DWORD paramsSize = 0;
    DWORD flags = 0;                      // GetClassDevs: the flags
    DWORD bufferSize = 0;                 // GetProperty: the buffer size given
};

void setDevices(const std::vector<Device> &devices);
const std::vector<Device> &devices();
// The Nth call (from 1) of SetupDiSetClassInstallParamsW or SetupDiChangeState fails.
void failSetParamsCall(int call);
void failChangeStateCall(int call);
void failGetClassDevs(bool fail);
const std::vector<SetupEvent> &setupEvents();
int openDeviceSets();   // sets obtained and not yet destroyed

} // namespace fake
