#include "fakeplatform.h"
#include "setupapi_linux.h"   // also <cstring>

namespace {

struct SetupState {
    std::vector<fake::Device> devices;
    std::vector<fake::SetupEvent> events;
    int open = 0, setParamsCalls = 0, changeStateCalls = 0, failSetParams = 0, failChangeState = 0;   // one handle for all sets
} state;

// An entry's Reserved names its device (position plus one), as the real interface keeps its own there.
int deviceOf(HDEVINFO set, const SP_DEVINFO_DATA *data)
{
    const bool valid = set == &state && state.open && data->cbSize == sizeof(*data) && data->Reserved - 1 < state.devices.size();
    return valid ? int(data->Reserved - 1) : -1;
}

fake::SetupEvent &logCall(fake::SetupCall call, int device = -1) { return state.events.emplace_back(fake::SetupEvent{call, device}); }

} // namespace

void fake::setDevices(const std::vector<fake::Device> &devices) { state.devices = devices; }
void fake::failSetParamsCall(int call) { state.failSetParams = call; }
void fake::failChangeStateCall(int call) { state.failChangeState = call; }
const std::vector<fake::SetupEvent> &fake::setupEvents() { return state.events; }
int fake::openDeviceSets() { return state.open; }
void fake::resetSetupApi() { state = SetupState(); }

HDEVINFO SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD Flags)
{
    logCall(fake::SetupCall::GetClassDevs).flags = Flags;
    ++state.open;
    return &state;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data)
{
    data->Reserved = index + 1;
    return deviceOf(set, data) >= 0;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                       PBYTE buffer, DWORD bufferSize, PDWORD requiredSize)
{
    const int device = logCall(fake::SetupCall::GetProperty, deviceOf(set, data)).device;
    return device >= 0 && property == SPDRP_DRIVER && !state.devices[size_t(device)].driver.empty()
           && setupapi::textProperty(state.devices[size_t(device)].driver, type, buffer, bufferSize, requiredSize);
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params, DWORD size)
{
    fake::SetupEvent &event = logCall(fake::SetupCall::SetParams, deviceOf(set, data));
    event.paramsSize = size;
    if (params && size == sizeof(SP_PROPCHANGE_PARAMS))
        std::memcpy(&event.params, params, size);
    return ++state.setParamsCalls != state.failSetParams && event.device >= 0;
}

BOOL SetupDiChangeState(HDEVINFO set, PSP_DEVINFO_DATA data)
{
    const int device = logCall(fake::SetupCall::ChangeState, deviceOf(set, data)).device;
    return ++state.changeStateCalls != state.failChangeState && device >= 0;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    logCall(fake::SetupCall::Destroy);
    const bool open = set == &state && state.open;
    state.open -= open;
    return open;
}
