#include "fakeplatform.h"
#include "platform.h"

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO, PULONG) { return ERROR_NOT_SUPPORTED; }
DWORD GetPerAdapterInfo(ULONG, PIP_PER_ADAPTER_INFO, PULONG) { return ERROR_NOT_SUPPORTED; }
namespace platform {
QString programPath(const QString &p) { return p; }
QString adapterClassKey() { return QString(); }
}
