/* The x32 call table (x86_64 only). */
#ifdef __x86_64__
#include "probe_calls.h"

#include <asm/unistd_x32.h>
/* asm/unistd.h defines the x32 bit, then includes the x86_64 table, whose
 * names clash with the x32 ones: its guard keeps it out. */
#define _ASM_UNISTD_64_H
#include <asm/unistd.h>

const unsigned long x32_ioperm = __NR_ioperm;
const unsigned long x32_getpid = __NR_getpid;
#else
typedef int probe_x32_unused; /* an empty file is not C */
#endif
