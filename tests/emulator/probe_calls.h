/* The ways port_probe makes a call past the C library: with the i386
 * `int $0x80`, from a program of either width, and (x86_64 only) with an
 * x32 number or with bits set above the number in rax. Numbers from the
 * kernel's headers, one table per file, since their names clash. */
#ifndef PROBE_CALLS_H
#define PROBE_CALLS_H

/* int $0x80 with nr in eax and a, b, c in ebx, ecx, edx (in all of rbx,
 * rcx, rdx in a 64-bit program: the kernel uses the low halves). */
long int80_call(unsigned long nr, unsigned long a, unsigned long b, unsigned long c);
extern const unsigned long i386_ioperm;
extern const unsigned long i386_getpid;

#ifdef __x86_64__
/* `syscall` with rax = nr (all 64 bits of it), rdi, rsi, rdx = a, b, c. */
long raw_syscall(unsigned long nr, unsigned long a, unsigned long b, unsigned long c);
extern const unsigned long x32_ioperm;
extern const unsigned long x32_getpid;
#endif

#endif
