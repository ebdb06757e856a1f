/*
 * button: waits for a button on line 3, then lights a lamp on line 6.
 *
 *   gcc button.c $(pkg-config --cflags --libs velmogpio) -o button
 *   sudo ./button          (or: sudo setcap cap_sys_rawio+ep button)
 *
 * Lines 1-4 become inputs and lines 5-8 outputs, with line 6 low. Line 3 is
 * read every millisecond until it is high; then line 6 is driven high and
 * the program ends with status 0.
 */
#include <VELMOGPIOLib.h>

#include <stdio.h>
#include <time.h>

/* Says which call failed and why, as the library puts it. */
static int fail(const char *what)
{
    char *text;
    KVNGetLastError(&text);
    fprintf(stderr, "button: %s: %s\n", what, text);
    return 1;
}

int main(void)
{
    const struct timespec one_ms = {0, 1000000};
    int pressed = 0;

    /* Bit i is line i+1: 1 input, 0 output. */
    if (VelmoGPIOConfig(0x0F) != 0) {
        return fail("configure");
    }
    if (VelmoGPIOOutputBit(6, 0) != 0) {
        return fail("line 6 low");
    }
    for (;;) {
        if (VelmoGPIOInputBit(3, &pressed) != 0) {
            return fail("read line 3");
        }
        if (pressed) {
            break;
        }
        nanosleep(&one_ms, NULL);
    }
    if (VelmoGPIOOutputBit(6, 1) != 0) {
        return fail("line 6 high");
    }
    return 0;
}
