#include "netstate_linux.h"
