#include "netsh.h"
