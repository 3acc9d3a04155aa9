#include "platform.h"

namespace platform {
QString adapterClassKey() { return QString(); }
}
