// SetupAPI over the device table the test gives, with the calls logged and failures to inject.
#include "fakeplatform.h"
#include "setupapi_linux.h"   // also <cstring>

using namespace fake;
namespace {

struct SetupState {
    std::vector<Device> devices;
    std::vector<DWORD> installed;   // per device: the state change SetupDiSetClassInstallParamsW installed
    std::vector<SetupEvent> events;
    int open = 0, setParamsCalls = 0, changeStateCalls = 0, failSetParams = 0, failChangeState = 0;   // open: sets not destroyed, one handle for all
} state;

SetupEvent &logCall(SetupCall call, int device = -1) { return state.events.emplace_back(SetupEvent{call, device}); }

// An entry's Reserved names its device (position plus one), as the real interface keeps its own there.
int deviceOf(HDEVINFO set, const SP_DEVINFO_DATA *data)
{
    const bool valid = set == &state && state.open && data->cbSize == sizeof(*data) && data->Reserved - 1 < state.devices.size();
    return valid ? int(data->Reserved - 1) : -1;
}

} // namespace

void fake::setDevices(const std::vector<Device> &devices) { state.devices = devices; state.installed.assign(devices.size(), 0); }
const std::vector<Device> &fake::devices() { return state.devices; }
void fake::failSetParamsCall(int call) { state.failSetParams = call; }
void fake::failChangeStateCall(int call) { state.failChangeState = call; }
const std::vector<SetupEvent> &fake::setupEvents() { return state.events; }
int fake::openDeviceSets() { return state.open; }
void fake::resetSetupApi() { state = SetupState(); }

HDEVINFO SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD Flags)
{
    logCall(SetupCall::GetClassDevs).flags = Flags;
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
    const int device = deviceOf(set, data);
    logCall(SetupCall::GetProperty, device).bufferSize = bufferSize;
    return device >= 0 && property == SPDRP_DRIVER && !state.devices[size_t(device)].driver.empty()
           && setupapi::textProperty(state.devices[size_t(device)].driver, type, buffer, bufferSize, requiredSize);
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params, DWORD size)
{
    const int device = deviceOf(set, data);
    logCall(SetupCall::SetParams, device).paramsSize = size;
    if (params && size == sizeof(SP_PROPCHANGE_PARAMS))
        std::memcpy(&state.events.back().params, params, size);
    if (++state.setParamsCalls == state.failSetParams || device < 0)
        return 0;
    state.installed[size_t(device)] = state.events.back().params.StateChange;
    return 1;
}

BOOL SetupDiChangeState(HDEVINFO set, PSP_DEVINFO_DATA data)
{
    const int device = deviceOf(set, data);
    logCall(SetupCall::ChangeState, device);
    const DWORD change = device < 0 ? 0 : state.installed[size_t(device)];
    if (++state.changeStateCalls == state.failChangeState || (change != DICS_STOP && change != DICS_START))
        return 0;
    state.devices[size_t(device)].started = change == DICS_START;
    return 1;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    logCall(SetupCall::Destroy);
    const bool open = set == &state && state.open;
    state.open -= open;
    return open;
}
