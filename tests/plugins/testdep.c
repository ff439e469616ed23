/* The library flt_TestDep needs: shipped only in the plug-ins' "Dependencies". */
#include <stdint.h>

#define TESTDEP_EXPORT __attribute__((visibility("default")))

TESTDEP_EXPORT int vgmtestdep_Strength(void) { return 77; }
TESTDEP_EXPORT uint32_t vgmtestdep_Pixel(void) { return 0x00336699u; }
