/* The cost of a port access under velmo-emu: N ReadIO calls of the
 * delivered object (each one ioperm and one `in`), timed from inside.
 *
 *   velmo-emu build/native/bin/read_loop [N]     (N defaults to 300000)
 *   velmo-emu build/native/bin/read_loop clock N
 *
 * `clock N` reads CLOCK_MONOTONIC N times instead, for the cost of a clock
 * read (under velmo-emu --clock board or virtual, a stop each), to be
 * timed from outside: inside, the clock is the run's.
 */
#include "VELMOGPIOLib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    const long n = argc > 1 ? atol(argv[argc - 1]) : 300000;
    unsigned int sum = 0;
    long i;
    const double start = now();
    double seconds;

    if (argc == 3 && strcmp(argv[1], "clock") == 0) {
        double last = start;
        for (i = 0; i < n; ++i) {
            last = now();
        }
        printf("%ld clock reads, the last %.0f s after the first\n", n, last - start);
        return 0;
    }

    for (i = 0; i < n; ++i) {
        sum += ReadIO(BaseAddress + 0x0F);
    }
    seconds = now() - start;
    printf("%ld ReadIO calls in %.3f s: %.0f per second (checksum %u)\n", n, seconds,
           seconds > 0 ? (double)n / seconds : 0.0, sum);
    return 0;
}
