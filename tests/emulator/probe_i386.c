/* The i386 call table, and int $0x80. */
#include "probe_calls.h"

#include <asm/unistd_32.h>

const unsigned long i386_ioperm = __NR_ioperm;
const unsigned long i386_getpid = __NR_getpid;

long int80_call(unsigned long nr, unsigned long a, unsigned long b, unsigned long c)
{
    long result;
    __asm__ __volatile__("int $0x80" : "=a"(result) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return result;
}

#ifdef __x86_64__
long raw_syscall(unsigned long nr, unsigned long a, unsigned long b, unsigned long c)
{
    long result;
    __asm__ __volatile__("syscall" : "=a"(result) : "a"(nr), "D"(a), "S"(b), "d"(c) : "rcx", "r11", "memory");
    return result;
}
#endif
