/* Compiles the host interface as C: every header must stay valid C. */
#include "hostapi/filter.h"
#include "hostapi/globals.h"
#include "hostapi/io.h"
#include "hostapi/module.h"
#include "hostapi/panel.h"

/* The descriptor's numbers come first, then pointers at their own alignment. */
typedef char vh_check_layout[(sizeof(VHModuleDescriptor) ==
                              3 * 4 + (sizeof(void*) == 8 ? 4 : 0) + 3 * sizeof(void*))
                                 ? 1
                                 : -1];

int vh_hostapi_c_check(void) { return (int)sizeof(vh_check_layout); }
