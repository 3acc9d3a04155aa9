// How the kernel room and its callers hand a failure up: the text for the
// user, empty on success.
#pragma once

#include <string>

namespace sys {

using Error = std::string;

} // namespace sys
