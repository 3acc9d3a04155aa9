// The first byte picks the reader: an interface record, a DHCP lease, or the
// text of a class key, checked as the stand-ins check it before anything
// opens it as settings.
#include "records/classkey.h"
#include "records/records.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string error;
    switch (data[0] % 3) {
    case 0: {
        std::string identity;
        records::InterfaceState state;
        if (records::parseRecord(text, &identity, &state, &error) ? identity.empty() || state.clientPid < 0
                                                                   : error.empty())
            __builtin_trap();
        records::holds(state, {});
        break;
    }
    case 1: {
        records::Lease lease;
        if (!records::parseLease(text, &lease, &error) && error.empty())
            __builtin_trap();
        break;
    }
    case 2: {
        QString reason;
        if (!classkey::checkText(QByteArray(text.data(), int(text.size())), &reason) && reason.isEmpty())
            __builtin_trap();
        break;
    }
    }
    return 0;
}
