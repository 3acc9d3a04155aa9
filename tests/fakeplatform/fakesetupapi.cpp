// The SetupAPI half of the scripted platform: a device set over the table the
// test gives, with every call logged and failures to inject.
#include "fakeplatform.h"
#include "setupapi_linux.h"

#include <cstring>
#include <set>

namespace fake {

namespace {

struct DeviceSet {
    size_t size = 0;                      // devices present when the set was made
    std::vector<SP_PROPCHANGE_PARAMS> params;
    std::vector<bool> hasParams;
};

struct SetupState {
    std::vector<Device> devices;
    std::vector<SetupEvent> events;
    std::set<DeviceSet *> open;
    int setParamsCalls = 0;
    int changeStateCalls = 0;
    int failSetParams = 0;
    int failChangeState = 0;
    bool failGetClassDevs = false;
};

SetupState &setup()
{
    static SetupState s;
    return s;
}

SetupEvent &logCall(SetupCall call, int device = -1)
{
    SetupEvent event{};
    event.call = call;
    event.device = device;
    setup().events.push_back(event);
    return setup().events.back();
}

DeviceSet *openSet(HDEVINFO handle)
{
    auto *set = static_cast<DeviceSet *>(handle);
    return setup().open.count(set) ? set : nullptr;
}

// The device an entry names: Reserved carries its position in the set plus one,
// as the real interface keeps its own reference there.
int deviceOf(HDEVINFO handle, const SP_DEVINFO_DATA *data)
{
    const DeviceSet *set = openSet(handle);
    if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0
        || data->Reserved > set->size)
        return -1;
    return int(data->Reserved - 1);
}

} // namespace

void setDevices(const std::vector<Device> &devices)
{
    setup().devices = devices;
}

const std::vector<Device> &devices()
{
    return setup().devices;
}

void failSetParamsCall(int call)
{
    setup().failSetParams = call;
}

void failChangeStateCall(int call)
{
    setup().failChangeState = call;
}

void failGetClassDevs(bool fail)
{
    setup().failGetClassDevs = fail;
}

const std::vector<SetupEvent> &setupEvents()
{
    return setup().events;
}

int openDeviceSets()
{
    return int(setup().open.size());
}

void resetSetupApi()
{
    for (DeviceSet *set : setup().open)
        delete set;
    setup() = SetupState();
}

} // namespace fake

using namespace fake;

HDEVINFO SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD Flags)
{
    logCall(SetupCall::GetClassDevs).flags = Flags;
    if (setup().failGetClassDevs)
        return INVALID_HANDLE_VALUE;
    auto *set = new DeviceSet;
    set->size = setup().devices.size();
    set->params.resize(set->size);
    set->hasParams.resize(set->size);
    setup().open.insert(set);
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    logCall(SetupCall::Enum, int(MemberIndex));
    const DeviceSet *set = openSet(DeviceInfoSet);
    if (!set || !DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) || MemberIndex >= set->size)
        return 0;
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return 1;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize)
{
    const int device = deviceOf(DeviceInfoSet, DeviceInfoData);
    logCall(SetupCall::GetProperty, device).bufferSize = PropertyBufferSize;
    if (device < 0 || Property != SPDRP_DRIVER)
        return 0;
    const std::u16string &driver = setup().devices.at(size_t(device)).driver;
    if (driver.empty())
        return 0;
    return setupapi::textProperty(driver, PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize)
{
    const int device = deviceOf(DeviceInfoSet, DeviceInfoData);
    SetupEvent &event = logCall(SetupCall::SetParams, device);
    event.paramsSize = ClassInstallParamsSize;
    if (ClassInstallParams && ClassInstallParamsSize >= sizeof(SP_PROPCHANGE_PARAMS))
        std::memcpy(&event.params, ClassInstallParams, sizeof(SP_PROPCHANGE_PARAMS));
    if (++setup().setParamsCalls == setup().failSetParams || device < 0 || !ClassInstallParams
        || ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
        return 0;
    DeviceSet *set = openSet(DeviceInfoSet);
    set->params[size_t(device)] = event.params;
    set->hasParams[size_t(device)] = true;
    return 1;
}

BOOL SetupDiChangeState(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    const int device = deviceOf(DeviceInfoSet, DeviceInfoData);
    logCall(SetupCall::ChangeState, device);
    if (++setup().changeStateCalls == setup().failChangeState || device < 0)
        return 0;
    const DeviceSet *set = openSet(DeviceInfoSet);
    if (!set->hasParams[size_t(device)])
        return 0;
    const SP_PROPCHANGE_PARAMS &params = set->params[size_t(device)];
    Device &target = setup().devices.at(size_t(device));
    if (params.StateChange == DICS_STOP)
        target.started = false;
    else if (params.StateChange == DICS_START)
        target.started = true;
    else
        return 0;
    return 1;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    logCall(SetupCall::Destroy);
    DeviceSet *set = openSet(DeviceInfoSet);
    if (!set)
        return 0;
    setup().open.erase(set);
    delete set;
    return 1;
}
