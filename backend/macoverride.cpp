#include "windowchanger.h"
