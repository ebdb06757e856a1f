/*
 * blink: drives line 6 of the Velmo board high and low COUNT times, then
 * reads line 3.
 *
 *   gcc blink.c $(pkg-config --cflags --libs velmogpio) -o blink
 *   sudo ./blink [COUNT]        (or: sudo setcap cap_sys_rawio+ep blink)
 *
 * COUNT is 1 to 1000, 3 when left out. Line 6 becomes an output; every
 * other line is left an input.
 */
#include <VELMOGPIOLib.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

/* Says which call failed and why, as the library puts it. */
static int fail(const char *what)
{
    char *text;
    KVNGetLastError(&text);
    fprintf(stderr, "blink: %s: %s\n", what, text);
    return 1;
}

int main(int argc, char **argv)
{
    long count = 3;
    long i;
    int level;

    if (argc > 2) {
        fprintf(stderr, "usage: blink [COUNT]\n");
        return 2;
    }
    if (argc == 2) {
        char *end;
        errno = 0;
        count = strtol(argv[1], &end, 10);
        if (errno != 0 || end == argv[1] || *end != '\0' || count < 1 || count > 1000) {
            fprintf(stderr, "blink: COUNT must be a number from 1 to 1000, not \"%s\"\n", argv[1]);
            return 2;
        }
    }

    if (VelmoGPIOInit() != 0) {
        return fail("init");
    }
    /* Bit i is line i+1: 1 input, 0 output. */
    if (VelmoGPIOConfig(0xFFu & ~(1u << 5)) != 0) {
        return fail("configure");
    }
    for (i = 0; i < count; ++i) {
        if (VelmoGPIOOutputBit(6, 1) != 0) {
            return fail("line 6 high");
        }
        if (VelmoGPIOOutputBit(6, 0) != 0) {
            return fail("line 6 low");
        }
    }
    if (VelmoGPIOInputBit(3, &level) != 0) {
        return fail("read line 3");
    }
    printf("line 6 blinked %ld times; line 3 is %s\n", count, level ? "high" : "low");
    return 0;
}
