/*
 * uart_tx: sends text as serial data on line 6, 8N1 at 1200 baud, as the
 * transmit line of a UART would: idle high, then for each byte a start bit
 * (low), eight data bits, least significant first, and a stop bit (high).
 *
 *   gcc uart_tx.c $(pkg-config --cflags --libs velmogpio) -o uart_tx
 *   sudo ./uart_tx 'Hello'     (or: sudo setcap cap_sys_rawio+ep uart_tx)
 *
 * Without TEXT it sends "Velmo\n". Line 6 becomes an output, already high;
 * the other lines stay inputs.
 *
 * Each bit goes out at its own deadline on the monotonic clock, counted from
 * the start of the transmission (clock_nanosleep with TIMER_ABSTIME, and
 * the least timer slack the kernel allows), so the time each write takes
 * (a system call and two port accesses on the board, many times that under
 * velmo-emu) never adds up from bit to bit: every edge comes the same
 * short while after its deadline. A receiver samples each bit in its
 * middle; when the program woke more than a quarter of a bit after a
 * deadline (another program had the CPU), that bit may be misread, and
 * uart_tx says so and ends with status 3 once the text is sent. Status 1:
 * a library call failed.
 */
#define _POSIX_C_SOURCE 200809L /* clock_nanosleep, also under -std=c99 */

#include <VELMOGPIOLib.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <sys/prctl.h>

#define TX_LINE 6
#define BAUD 1200
#define NS_PER_S 1000000000LL

/* Says which call failed and why, as the library puts it. */
static int fail(const char *what)
{
    char *text;
    KVNGetLastError(&text);
    fprintf(stderr, "uart_tx: %s: %s\n", what, text);
    return 1;
}

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * NS_PER_S + t.tv_nsec;
}

/* Sleeps until the monotonic clock reads at least deadline. */
static void sleep_until(long long deadline)
{
    struct timespec t;
    t.tv_sec = (time_t)(deadline / NS_PER_S);
    t.tv_nsec = (long)(deadline % NS_PER_S);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
    }
}

/* When bit number n of the transmission begins: exact for every n, so
 * rounding never drifts. */
static long long bit_start(long long start, long long n)
{
    return start + n * NS_PER_S / BAUD;
}

int main(int argc, char **argv)
{
    const char *text = argc > 1 ? argv[1] : "Velmo\n";
    const size_t size = strlen(text);
    const long long quarter_bit = NS_PER_S / BAUD / 4;
    long long start, n = 0, worst = 0;
    int late_bits = 0;
    size_t i;

    /* Wake-ups as close to each deadline as the kernel can make them (by
     * default they may come up to 50 us late to save power). */
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    /* Idle is high: the latch is set before line 6 becomes an output, so
     * the line never shows a low that a receiver could take for a start
     * bit. Bit i of the word is line i+1, 1 input: only line 6 is 0. */
    if (VelmoGPIOOutputBit(TX_LINE, 1) != 0) {
        return fail("line 6 high");
    }
    if (VelmoGPIOConfig(0xDF) != 0) {
        return fail("configure");
    }

    /* Two bits of idle line, then the frames back to back. */
    start = now_ns();
    n = 2;
    for (i = 0; i < size; ++i) {
        const unsigned char byte = (unsigned char)text[i];
        int b;
        /* 0: start bit, 1-8: data, 9: stop bit. */
        for (b = 0; b < 10; ++b, ++n) {
            const unsigned int level = b == 0 ? 0u : b == 9 ? 1u : (byte >> (b - 1)) & 1u;
            const long long deadline = bit_start(start, n);
            long long late;
            sleep_until(deadline);
            late = now_ns() - deadline;
            if (VelmoGPIOOutputBit(TX_LINE, level) != 0) {
                return fail("send a bit");
            }
            if (late > quarter_bit) {
                ++late_bits;
                worst = late > worst ? late : worst;
            }
        }
    }
    /* The last stop bit lasts its whole time. */
    sleep_until(bit_start(start, n));

    if (late_bits > 0) {
        fprintf(stderr, "uart_tx: %d %s went out more than a quarter of a bit late (up to %lld us); "
                        "a receiver may misread %s\n",
                late_bits, late_bits == 1 ? "bit" : "bits", worst / 1000, late_bits == 1 ? "it" : "them");
        return 3;
    }
    return 0;
}
