#include "windowchanger.h"
#include "devicesetup.h"

#include <memory>
#include <type_traits>

namespace {

// A driver key is the class GUID in braces (38), a backslash and a four-digit
// instance number.
constexpr int driverKeyLength = 43;
// MAX_PATH (260) UTF-16 units.
constexpr DWORD propertyBufferSize = 520;

struct DeviceSetCloser {
    void operator()(std::remove_pointer_t<HDEVINFO> *set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, DeviceSetCloser>;

// The property as text: its first units up to the terminating NUL, at most
// driverKeyLength of them. WCHAR is char16_t here and wchar_t on Windows; both
// hold UTF-16.
QString driverKeyOf(const WCHAR *property)
{
    int length = 0;
    while (length < driverKeyLength && property[length] != 0)
        ++length;
    return QString::fromUtf16(reinterpret_cast<const ushort *>(property), length);
}

// Installs the change parameters for the device, then carries them out.
bool changeState(HDEVINFO set, SP_DEVINFO_DATA *device, SP_PROPCHANGE_PARAMS *params)
{
    return SetupDiSetClassInstallParamsW(set, device, &params->ClassInstallHeader, sizeof(*params))
        && SetupDiChangeState(set, device);
}

} // namespace

bool windowChanger::restartCard(const QString &adapterDriver)
{
    const HDEVINFO handle = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    const DeviceSet set(handle);

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    WCHAR buffer[propertyBufferSize / sizeof(WCHAR)] = {};
    const QString wanted = adapterDriver.toUpper();

    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
        DWORD type = 0;
        DWORD required = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(set.get(), &device, SPDRP_DRIVER, &type,
                                               reinterpret_cast<PBYTE>(buffer), propertyBufferSize, &required))
            continue;
        if (driverKeyOf(buffer).toUpper() != wanted)
            continue;

        SP_PROPCHANGE_PARAMS params{};
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        params.StateChange = DICS_STOP;
        params.Scope = DICS_FLAG_CONFIGSPECIFIC;
        params.HwProfile = 0;
        if (!changeState(set.get(), &device, &params))
            return false;
        params.StateChange = DICS_START;
        return changeState(set.get(), &device, &params);
    }
    return true;
}
