// Pieces of the SetupAPI contract that the Linux stand-in shares with the
// scripted platform of the unit tests.
#pragma once

#include "devicesetup.h"

#include <cstring>
#include <string>

namespace setupapi {

// Answers a device property read with text: a NUL-terminated REG_SZ value.
// The size it needs is reported whatever the buffer; the text is copied only
// when the buffer holds all of it, otherwise the read fails.
inline BOOL textProperty(const std::u16string &text, PDWORD type, PBYTE buffer, DWORD bufferSize, PDWORD requiredSize)
{
    const DWORD bytes = DWORD((text.size() + 1) * sizeof(char16_t));
    if (requiredSize)
        *requiredSize = bytes;
    if (type)
        *type = REG_SZ;
    if (!buffer || bufferSize < bytes)
        return 0;
    std::memcpy(buffer, text.c_str(), bytes);
    return 1;
}

} // namespace setupapi
