#include "rtnl_linux.h"
