#include "setupapi.h"

HDEVINFO SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD) { return INVALID_HANDLE_VALUE; }
BOOL SetupDiEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) { return 0; }
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) { return 0; }
BOOL SetupDiSetClassInstallParamsW(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER, DWORD) { return 0; }
BOOL SetupDiChangeState(HDEVINFO, PSP_DEVINFO_DATA) { return 0; }
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) { return 1; }
