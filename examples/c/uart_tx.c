/*
 * uart_tx: sends text as serial data on line 6, 8N1 at 1200 baud, as the
 * transmit line of a UART would: idle high, then for each byte a start bit
 * (low), eight data bits, least significant first, and a stop bit (high).
 *
 *   gcc uart_tx.c $(pkg-config --cflags --libs velmogpio) -o uart_tx
 *   sudo ./uart_tx 'Hello'     (or: sudo setcap cap_sys_rawio+ep uart_tx)
 *   sudo ./uart_tx -b 9600 'Hello'
 *
 * Without TEXT it sends "Velmo\n"; -b BAUD sets another rate, from 50 to
 * 1000000 bits a second (1200 when left out). Line 6 becomes an output, already high;
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
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <sys/prctl.h>

#define TX_LINE 6
#define DEFAULT_BAUD 1200
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
static long long bit_start(long long start, long long n, long long baud)
{
    return start + n * NS_PER_S / baud;
}

int main(int argc, char **argv)
{
    long long baud = DEFAULT_BAUD;
    const char *text = "Velmo\n";
    size_t size;
    long long quarter_bit;
    long long start, n = 0, worst = 0;
    int late_bits = 0, arg = 1;
    size_t i;

    if (argc > arg + 1 && strcmp(argv[arg], "-b") == 0) {
        char *end;
        errno = 0;
        baud = strtoll(argv[arg + 1], &end, 10);
        if (errno != 0 || end == argv[arg + 1] || *end != '\0' || baud < 50 || baud > 1000000) {
            fprintf(stderr, "uart_tx: BAUD must be a number from 50 to 1000000, not \"%s\"\n", argv[arg + 1]);
            return 2;
        }
        arg += 2;
    }
    if (argc > arg + 1 || (argc == arg + 1 && strcmp(argv[arg], "-b") == 0)) {
        fprintf(stderr, "usage: uart_tx [-b BAUD] [TEXT]\n");
        return 2;
    }
    if (argc == arg + 1) {
        text = argv[arg];
    }
    size = strlen(text);
    quarter_bit = NS_PER_S / baud / 4;

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
            const long long deadline = bit_start(start, n, baud);
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
    sleep_until(bit_start(start, n, baud));

    if (late_bits > 0) {
        fprintf(stderr,
                "uart_tx: %d %s went out more than a quarter of a bit late (up to %lld us); "
                "a receiver may misread %s\n",
                late_bits, late_bits == 1 ? "bit" : "bits", worst / 1000, late_bits == 1 ? "it" : "them");
        return 3;
    }
    return 0;
}
