#include "netns.h"
