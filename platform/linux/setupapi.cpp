// SetupAPI over the kernel: the devices are the network interfaces of the
// current network namespace, stopped by taking the link down and started by
// applying the class key's NetworkAddress and bringing the link up again.
#include "deviceproperty.h"
#include "records/classkey.h"
#include "records/records.h"
#include "managers/networkmanager.h"
#include "platform.h"
#include "kernel/rtnl.h"

#include <QRegExp>
#include <QSettings>

#include <algorithm>
#include <cstring>
#include <net/if.h>
#include <set>

namespace {

// {4d36e972-e325-11ce-bfc1-08002be10318}: the network adapter device class.
constexpr GUID networkClass = {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

using MacAddress = std::vector<uint8_t>;

struct Device {
    int ifindex = 0;
    std::string name;
    QString subkey;                 // in the class key; empty: the device has no driver key
    bool hasParams = false;
    SP_PROPCHANGE_PARAMS params{};
};

// What SetupDiGetClassDevsW hands out as HDEVINFO: the interfaces present
// when it was called.
struct DeviceSet {
    QString classKey;
    std::vector<Device> devices;
};

std::set<DeviceSet *> &openSets()
{
    static std::set<DeviceSet *> sets;
    return sets;
}

DeviceSet *setOf(HDEVINFO handle)
{
    auto *set = static_cast<DeviceSet *>(handle);
    return openSets().count(set) ? set : nullptr;
}

// SetupDiEnumDeviceInfo leaves the device's position in its set, plus one,
// in Reserved, where the platform keeps its own reference to the device.
Device *deviceOf(HDEVINFO handle, const SP_DEVINFO_DATA *data)
{
    DeviceSet *set = setOf(handle);
    if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0
        || data->Reserved > set->devices.size())
        return nullptr;
    Device &device = set->devices[data->Reserved - 1];
    return int(data->DevInst) == device.ifindex ? &device : nullptr;
}

// The interface the device stands for, if it is still there under its name.
bool currentLink(const Device &device, rtnl::Link *link)
{
    return rtnl::linkByIndex(device.ifindex, link) && link->name == device.name;
}

// "02-11-22-33-44-55", "02:11:22:33:44:55" or "021122334455"; empty for any
// other text, and for a group or all-zero address, which the kernel refuses
// for an Ethernet device.
MacAddress parseMac(QString text)
{
    text.remove(QLatin1Char('-')).remove(QLatin1Char(':'));
    if (!QRegExp(QStringLiteral("[0-9A-Fa-f]{12}")).exactMatch(text))
        return {};
    MacAddress bytes;
    for (int i = 0; i < 12; i += 2)
        bytes.push_back(uint8_t(text.midRef(i, 2).toUInt(nullptr, 16)));
    if ((bytes[0] & 1) || std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }))
        return {};
    return bytes;
}

QString macText(const MacAddress &address)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(address.data()), int(address.size())).toHex())
        .toUpper();
}

// The default routes as the interface's state keeps them: "gateway metric,...".
std::string routesText(const std::vector<rtnl::Route4> &routes)
{
    std::string text;
    for (const rtnl::Route4 &route : routes)
        text += (text.empty() ? "" : ",") + rtnl::toText(route.gateway) + ' ' + std::to_string(route.metric);
    return text;
}

// Splits "text<separator>number,..." into its pairs; an item that is not one is left out.
std::vector<std::pair<std::string, uint32_t>> pairs(const std::string &text, char separator)
{
    std::vector<std::pair<std::string, uint32_t>> result;
    const QStringList items = QString::fromStdString(text).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const int at = item.indexOf(QLatin1Char(separator));
        bool ok = false;
        const uint32_t number = item.mid(at + 1).toUInt(&ok);
        if (at > 0 && ok)
            result.emplace_back(item.left(at).toStdString(), number);
    }
    return result;
}

// Keeps the interface's IPv4 configuration where DICS_START finds it: the
// kernel keeps the addresses of a link that goes down but drops every route
// through it. An interface on DHCP needs nothing kept; its client
// acquires a lease again once the link is back. A damaged record stays as it
// is, and the device with it.
bool saveConfiguration(const rtnl::Link &link)
{
    records::InterfaceState state;
    std::string error;
    records::load(link, &state, &error);
    if (!error.empty())
        return false;
    state.savedAddresses.clear();
    state.savedRoutes.clear();
    if (state.method != "dhcp") {
        sys::Error addressError;
        sys::Error routeError;
        const std::vector<rtnl::Address4> addresses = rtnl::addresses(link.index, &addressError);
        const std::vector<rtnl::Route4> routes = rtnl::defaultRoutes(link.index, &routeError);
        if (!addressError.empty() || !routeError.empty())
            return false;
        state.savedAddresses = records::addressesText(addresses);
        state.savedRoutes = routesText(routes);
    }
    return records::save(link, state);
}

// Puts back what saveConfiguration kept in `state` and the link lost, then
// forgets it.
bool restoreConfiguration(const rtnl::Link &link, records::InterfaceState *state)
{
    sys::Error error;
    const std::vector<rtnl::Address4> present = rtnl::addresses(link.index, &error);
    bool ok = error.empty();
    for (const auto &[text, prefix] : pairs(state->savedAddresses, '/')) {
        rtnl::Address4 address;
        if (!rtnl::fromText(text, &address.address))
            continue;
        address.prefix = int(prefix);
        const bool there = std::any_of(present.begin(), present.end(),
                                       [&](const rtnl::Address4 &a) { return rtnl::sameAddress(a, address); });
        if (!there)
            ok = rtnl::addAddress(link.index, address).empty() && ok;
    }
    sys::Error routeError;
    const std::vector<rtnl::Route4> routes = rtnl::defaultRoutes(link.index, &routeError);
    ok = ok && routeError.empty();
    for (const auto &[gateway, metric] : pairs(state->savedRoutes, ' ')) {
        rtnl::Route4 route;
        if (!rtnl::fromText(gateway, &route.gateway))
            continue;
        route.metric = metric;
        const bool there = std::any_of(routes.begin(), routes.end(),
                                       [&](const rtnl::Route4 &r) { return rtnl::sameRoute(r, route); });
        if (!there)
            ok = rtnl::addDefaultRoute(link.index, route).empty() && ok;
    }
    state->savedAddresses.clear();
    state->savedRoutes.clear();
    return ok;
}

bool stopDevice(const Device &device)
{
    rtnl::Link link;
    if (!currentLink(device, &link))
        return false;
    // ---- NetworkManager's device: it disconnects it, or it would undo the stop ----
    std::string ignored;
    if (networkmanager::manages(link.name))
        return networkmanager::stop(link.name, &ignored);
    // A link already down has lost its routes; what an earlier stop kept stays.
    if (!(link.flags & IFF_UP))
        return true;
    return saveConfiguration(link) && rtnl::setLinkUp(link.index, false).empty();
}

// Gives the link the address `wanted`, taking it down for that: most drivers
// take a new address only while the link is down. Where the adapter's own
// address is known only from the class key, it is kept there first.
bool changeAddress(const DeviceSet &set, const Device &device, const rtnl::Link &link, const MacAddress &wanted,
                   bool keepOriginal)
{
    const classkey::Lock lock(set.classKey);
    QSettings classKey(set.classKey, QSettings::IniFormat);
    if (keepOriginal) {
        classKey.setValue(classkey::key(device.subkey, classkey::originalAddress), macText(link.address));
        if (!classkey::relabel(classKey, device.subkey, QString::fromStdString(records::identityOf(link))))
            return false;
    }
    if ((link.flags & IFF_UP) && !stopDevice(device))
        return false;
    if (link.address.size() != wanted.size() || !rtnl::setLinkAddress(link.index, wanted).empty())
        return false;
    // Known by its new address from now on.
    rtnl::Link changed;
    return rtnl::linkByIndex(link.index, &changed)
        && classkey::relabel(classKey, device.subkey, QString::fromStdString(records::identityOf(changed)));
}

bool startDevice(const DeviceSet &set, const Device &device)
{
    rtnl::Link link;
    if (!currentLink(device, &link))
        return false;

    // A device without a subkey has no override and was never given one. What
    // the subkey remembers of an own address holds only for the same device.
    const QSettings classKey(set.classKey, QSettings::IniFormat);
    const auto value = [&](const char *name) {
        return device.subkey.isEmpty() ? QString() : classKey.value(classkey::key(device.subkey, name)).toString();
    };
    const bool sameDevice = value(classkey::linkIdentity).toStdString() == records::identityOf(link);
    const MacAddress &permanent = link.permanent;
    const MacAddress original = !permanent.empty() ? permanent
        : sameDevice                               ? parseMac(value(classkey::originalAddress))
                                                   : MacAddress();
    MacAddress wanted = parseMac(value(classkey::networkAddress));
    // No override, or one that is no address: the adapter's own address.
    if (wanted.empty())
        wanted = original;
    // ---- NetworkManager's device: the override goes into its profile ----
    if (networkmanager::manages(link.name)) {
        const MacAddress override = parseMac(value(classkey::networkAddress));
        QString text = macText(override);
        for (int at = text.size() - 2; at > 0; at -= 2)
            text.insert(at, QLatin1Char(':'));
        std::string ignored;
        return networkmanager::start(link.name, text.toStdString(), &ignored);
    }

    records::InterfaceState state;
    std::string recordError;
    records::load(link, &state, &recordError);
    if (!recordError.empty())
        return false;
    bool ok = true;
    if (!wanted.empty() && wanted != link.address)
        ok = changeAddress(set, device, link, wanted, original.empty());
    // What a stop kept, under the identity the interface had then.
    const bool recorded = records::load(link, &state);
    // Up again with the configuration back even when the address was refused,
    // so that a failed override leaves the adapter working as it was.
    rtnl::Link now;
    if (!rtnl::linkByIndex(link.index, &now))
        return false;
    ok = rtnl::setLinkUp(now.index, true).empty() && ok;
    if (!state.savedAddresses.empty() || !state.savedRoutes.empty())
        ok = restoreConfiguration(now, &state) && ok;
    // The record follows the interface to its new identity.
    return (!recorded || records::save(now, state)) && ok;
}

} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR, HWND, DWORD Flags)
{
    if (Flags & DIGCF_DEVICEINTERFACE)
        return INVALID_HANDLE_VALUE;
    auto *set = new DeviceSet;
    const bool wantsNetwork = (Flags & DIGCF_ALLCLASSES) || !ClassGuid
        || std::memcmp(ClassGuid, &networkClass, sizeof(GUID)) == 0;
    if (wantsNetwork) {
        sys::Error error;
        const std::vector<rtnl::Link> links = rtnl::links(&error);
        if (!error.empty()) {
            delete set;
            return INVALID_HANDLE_VALUE;
        }
        set->classKey = platform::adapterClassKey();
        const QSettings classKey(set->classKey, QSettings::IniFormat);
        for (const rtnl::Link &link : links) {
            if (link.flags & IFF_LOOPBACK)
                continue;
            Device device;
            device.ifindex = link.index;
            device.name = link.name;
            device.subkey = classkey::subkeyOf(classKey, QString::fromStdString(link.name));
            set->devices.push_back(device);
        }
    }
    openSets().insert(set);
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    const DeviceSet *set = setOf(DeviceInfoSet);
    if (!set || !DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)
        || MemberIndex >= set->devices.size())
        return 0;
    DeviceInfoData->ClassGuid = networkClass;
    DeviceInfoData->DevInst = DWORD(set->devices[MemberIndex].ifindex);
    DeviceInfoData->Reserved = MemberIndex + 1;
    return 1;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize)
{
    const Device *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device || Property != SPDRP_DRIVER || device->subkey.isEmpty())
        return 0;
    return setupapi::textProperty(classkey::driverKey(device->subkey).toStdU16String(), PropertyRegDataType,
                                  PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize)
{
    Device *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device)
        return 0;
    // No parameters clears what was installed.
    if (!ClassInstallParams) {
        device->hasParams = false;
        return 1;
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)
        || ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE
        || ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
        return 0;
    SP_PROPCHANGE_PARAMS params;
    std::memcpy(&params, ClassInstallParams, sizeof(params));
    if (params.StateChange != DICS_STOP && params.StateChange != DICS_START && params.StateChange != DICS_PROPCHANGE)
        return 0;
    device->params = params;
    device->hasParams = true;
    return 1;
}

BOOL SetupDiChangeState(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    const Device *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device || !device->hasParams)
        return 0;
    const DeviceSet &set = *setOf(DeviceInfoSet);
    switch (device->params.StateChange) {
    case DICS_STOP:
        return stopDevice(*device);
    case DICS_START:
        return startDevice(set, *device);
    case DICS_PROPCHANGE:
        return stopDevice(*device) && startDevice(set, *device);
    }
    return 0;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    DeviceSet *set = setOf(DeviceInfoSet);
    if (!set)
        return 0;
    openSets().erase(set);
    delete set;
    return 1;
}
