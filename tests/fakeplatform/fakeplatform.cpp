#include "fakeplatform.h"
#include "platform.h"
#include "deviceproperty.h"
#include <QDir>
#include <QNetworkInterface>
#include <QProcess>
#include <algorithm>
#include <utility>

fake::State fake::state;
using fake::state;

namespace {

// Into zeroed memory, cut to fit its array as IP Helper does.
template <size_t N>
void copy(const std::string &text, char (&array)[N]) { text.copy(array, N - 1); }

// None or too small is ERROR_BUFFER_OVERFLOW with the size needed; one big enough is zeroed for filling.
DWORD claim(void *buffer, PULONG size, ULONG needed)
{
    if (!buffer || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    memset(buffer, 0, needed);
    return ERROR_SUCCESS;
}

// An entry's Reserved names its device (position plus one), as the real interface keeps its own there.
int deviceOf(HDEVINFO set, const SP_DEVINFO_DATA *data)
{
    const bool valid = set == &state && state.openSets && data->cbSize == sizeof(*data)
                       && data->Reserved - 1 < state.drivers.size();
    return valid ? int(data->Reserved - 1) : -1;
}

BOOL change(const char *what, HDEVINFO set, const SP_DEVINFO_DATA *data)
{
    const int device = deviceOf(set, data);
    state.changes += QStringLiteral(", %1 %2").arg(what).arg(device);
    return ++state.changeCalls != state.failChangeCall && device >= 0;
}

} // namespace

bool fake::installCmdExe(const QString &systemroot, const QByteArray &then)
{
    qputenv("systemroot", systemroot.toLocal8Bit());
    QFile cmd(systemroot + QStringLiteral("/system32/cmd.exe"));
    if (!QDir(systemroot).mkpath(QStringLiteral("system32")) || !cmd.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray script = R"(#!/bin/sh
{ printf '%s\0' "$0" "$$" "$@"; echo; } >> "$(dirname "$0")/../runs"
)" + then;   // each argument ended by a NUL, a line a run
    return cmd.write(script) == script.size()
        && cmd.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QList<QStringList> fake::takeRuns(const QString &systemroot)
{
    QFile file(systemroot + QStringLiteral("/runs"));
    const QByteArray all = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.remove();
    QList<QStringList> runs;
    for (const QString &run : QString::fromLocal8Bit(all.constData(), all.size()).split('\n', Qt::SkipEmptyParts))
        runs << run.chopped(1).split(QChar(0));   // the last NUL ends the last argument
    return runs;
}

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer)
{
    state.adaptersInfoSizes.push_back(SizePointer ? *SizePointer : 0);
    if (const auto hook = std::exchange(state.onAdaptersInfo, nullptr))
        hook();
    const std::vector<fake::Adapter> &adapters = state.adapters;
    if (state.adaptersInfoFails || !SizePointer || adapters.empty())
        return ERROR_NOT_SUPPORTED;
    if (const DWORD result = claim(AdapterInfo, SizePointer, ULONG(adapters.size() * sizeof(IP_ADAPTER_INFO))))
        return result;
    for (size_t i = 0; i < adapters.size(); ++i) {
        const fake::Adapter &a = adapters[i];
        IP_ADAPTER_INFO &entry = AdapterInfo[i];
        entry.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
        copy(a.name, entry.AdapterName);
        copy(a.description, entry.Description);
        entry.ComboIndex = entry.Index = a.index;
        entry.Type = a.type;
        entry.DhcpEnabled = a.dhcpEnabled;
        copy(a.address, entry.IpAddressList.IpAddress.String);
        copy(a.mask, entry.IpAddressList.IpMask.String);
        copy(a.gateway, entry.GatewayList.IpAddress.String);
        copy(a.dhcpServer, entry.DhcpServer.IpAddress.String);
    }
    return ERROR_SUCCESS;
}

DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen)
{
    state.perAdapterSizes.push_back(pOutBufLen ? *pOutBufLen : 0);
    const auto adapter = std::find_if(state.adapters.begin(), state.adapters.end(),
                                      [IfIndex](const fake::Adapter &a) { return a.index == IfIndex; });
    if (!pOutBufLen || adapter == state.adapters.end() || adapter->dnsFails)
        return ERROR_NOT_SUPPORTED;
    if (const DWORD result = claim(pPerAdapterInfo, pOutBufLen, sizeof(IP_PER_ADAPTER_INFO)))
        return result;
    copy(adapter->dnsServer, pPerAdapterInfo->DnsServerList.IpAddress.String);
    return ERROR_SUCCESS;
}

HDEVINFO SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD Flags)
{
    if (Flags != (DIGCF_PRESENT | DIGCF_ALLCLASSES))
        return INVALID_HANDLE_VALUE;
    ++state.openSets;
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
    return device >= 0 && property == SPDRP_DRIVER && !state.drivers[size_t(device)].empty()
           && setupapi::textProperty(state.drivers[size_t(device)], type, buffer, bufferSize, requiredSize);
}

// Only a stop or a start is understood: 20 bytes, the header (8) for DIF_PROPERTYCHANGE (18), DICS_STOP (5) or
// DICS_START (4), config-specific (2), profile 0.
BOOL SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params, DWORD size)
{
    const SP_PROPCHANGE_PARAMS stop{{8, 18}, 5, 2, 0}, start{{8, 18}, 4, 2, 0};
    const auto is = [params, size](const SP_PROPCHANGE_PARAMS &p) { return size == 20 && !memcmp(params, &p, 20); };
    return change(is(stop) ? "stop" : is(start) ? "start" : "wrong", set, data);
}

BOOL SetupDiChangeState(HDEVINFO set, PSP_DEVINFO_DATA data) { return change("change", set, data); }

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    const bool open = set == &state && state.openSets;
    state.openSets -= open;
    return open;
}

QString platform::programPath(const QString &windowsPath) { return QString(windowsPath).replace('\\', '/'); }
QString platform::adapterClassKey() { return qEnvironmentVariable("VANTOREL_CLASS_KEY"); }
void platform::startInterpreter(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.start(program, arguments, QIODevice::ReadWrite);
}
QString platform::adapterName(const QNetworkInterface &networkInterface) { return networkInterface.name(); }
QNetworkInterface platform::interfaceFromAdapterName(const QString &adapterName)
{
    return QNetworkInterface::interfaceFromName(adapterName);
}
