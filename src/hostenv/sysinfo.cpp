#include "hostenv/sysinfo.h"
