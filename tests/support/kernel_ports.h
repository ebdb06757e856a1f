/* How the kernel here answers a request for port access, for the tests
 * that run the real port primitives: they run only where it refuses, and
 * expect the message for its answer. Written without the library (ioperm
 * itself, and the capability sets as /proc/self/status shows them); a grant
 * is given back at once, as tests never touch real hardware.
 *
 * C and C++: the C client uses it too. */
#ifndef VELMO_TESTS_KERNEL_PORTS_H
#define VELMO_TESTS_KERNEL_PORTS_H

#include <errno.h>
#include <stdio.h>
#include <sys/io.h>

struct velmo_kernel_answer {
    int granted; /* 1: the kernel grants port access here */
    int error;   /* ioperm's errno when it refuses */
    int rawio;   /* 1: this process holds CAP_SYS_RAWIO in its effective set */
};

/* CAP_SYS_RAWIO is capability 17. */
static inline int velmo_holds_rawio(void)
{
    char line[256];
    unsigned long long mask = 0;
    FILE *status = fopen("/proc/self/status", "r");
    if (status == NULL) {
        return 0;
    }
    while (fgets(line, sizeof line, status) != NULL) {
        if (sscanf(line, "CapEff: %llx", &mask) == 1) {
            break;
        }
    }
    fclose(status);
    return (int)((mask >> 17) & 1u);
}

/* Asks for the board's first register. */
static inline struct velmo_kernel_answer velmo_ask_kernel(void)
{
    struct velmo_kernel_answer answer = {0, 0, 0};
    if (ioperm(0x507, 1, 1) == 0) {
        ioperm(0x507, 1, 0);
        answer.granted = 1;
        return answer;
    }
    answer.error = errno;
    answer.rawio = velmo_holds_rawio();
    return answer;
}

#endif
