/* blink_10hz SECONDS: line 6 toggles every 50 ms, at deadlines counted on
 * CLOCK_MONOTONIC from the start (clock_nanosleep, TIMER_ABSTIME), for
 * SECONDS seconds: a 10 Hz square wave. */
#define _POSIX_C_SOURCE 200809L
#include "VELMOGPIOLib.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char **argv)
{
    const long toggles = argc == 2 ? atol(argv[1]) * 20 : 0;
    struct timespec deadline;
    long i;
    if (toggles <= 0) {
        fprintf(stderr, "usage: blink_10hz SECONDS\n");
        return 2;
    }
    if (VelmoGPIOOutputBit(6, 0) != 0 || VelmoGPIOConfig(0xDF) != 0) {
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (i = 1; i <= toggles; ++i) {
        deadline.tv_nsec += 50000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) != 0) {
        }
        if (VelmoGPIOOutputBit(6, (int)(i & 1)) != 0) {
            return 1;
        }
    }
    printf("%ld edges\n", toggles);
    return 0;
}
