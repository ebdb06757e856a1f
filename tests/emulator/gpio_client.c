/* A C client of the delivered object (VELMOGPIOLib.o, object edition),
 * driven from its command line so each end-to-end test chooses the calls:
 *
 *   gpio_client [config WORD | in LINE | out LINE LEVEL | base PORT |
 *                wait LINE LEVEL | toggle LINE COUNT USEC | kill-parent]...
 *
 * Prints one line per call: what was called, its result, then the level
 * read or the last-error message. `wait` reads LINE every millisecond until
 * it shows LEVEL (as a program waits for a button), for at most 10 s.
 * `toggle` drives LINE high and low COUNT times, USEC microseconds after
 * each write, and prints one line for them all.
 * `kill-parent` sends SIGKILL to the parent (velmo-emu) and waits to be
 * killed in turn. */
#include "VELMOGPIOLib.h"

#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static unsigned long number(const char *text)
{
    return strtoul(text, NULL, 0);
}

static void result(int rc)
{
    char *text = NULL;
    if (rc == 0) {
        printf(": 0\n");
        return;
    }
    KVNGetLastError(&text);
    printf(": %d %s\n", rc, text);
}

int main(int argc, char **argv)
{
    int i = 1;
    while (i < argc) {
        const char *op = argv[i];
        if (strcmp(op, "config") == 0 && i + 1 < argc) {
            printf("config %s", argv[i + 1]);
            result(VelmoGPIOConfig((unsigned int)number(argv[i + 1])));
            i += 2;
        } else if (strcmp(op, "in") == 0 && i + 1 < argc) {
            int level = -1;
            int rc = VelmoGPIOInputBit(atoi(argv[i + 1]), &level);
            printf("in %s", argv[i + 1]);
            if (rc == 0) {
                printf(": 0 level %d\n", level);
            } else {
                result(rc);
            }
            i += 2;
        } else if (strcmp(op, "out") == 0 && i + 2 < argc) {
            printf("out %s %s", argv[i + 1], argv[i + 2]);
            result(VelmoGPIOOutputBit(atoi(argv[i + 1]), (unsigned int)atoi(argv[i + 2])));
            i += 3;
        } else if (strcmp(op, "wait") == 0 && i + 2 < argc) {
            const struct timespec one_ms = {0, 1000000};
            const int want = atoi(argv[i + 2]);
            int level = -1;
            int rc = 0;
            int tries = 0;
            while ((rc = VelmoGPIOInputBit(atoi(argv[i + 1]), &level)) == 0 && level != want && ++tries < 10000) {
                nanosleep(&one_ms, NULL);
            }
            printf("wait %s %s", argv[i + 1], argv[i + 2]);
            if (rc == 0) {
                printf(": 0 level %d\n", level);
            } else {
                result(rc);
            }
            i += 3;
        } else if (strcmp(op, "toggle") == 0 && i + 3 < argc) {
            const long usec = atol(argv[i + 3]);
            const struct timespec pause = {usec / 1000000, (usec % 1000000) * 1000};
            const int count = atoi(argv[i + 2]);
            int rc = 0;
            for (int n = 0; n < 2 * count && rc == 0; ++n) {
                rc = VelmoGPIOOutputBit(atoi(argv[i + 1]), (unsigned int)((n + 1) % 2));
                nanosleep(&pause, NULL);
            }
            printf("toggle %s %s", argv[i + 1], argv[i + 2]);
            result(rc);
            i += 4;
        } else if (strcmp(op, "kill-parent") == 0) {
            fflush(stdout);
            kill(getppid(), SIGKILL);
            sleep(5);
            return 3;
        } else if (strcmp(op, "base") == 0 && i + 1 < argc) {
            BaseAddress = (int)number(argv[i + 1]);
            printf("base %s\n", argv[i + 1]);
            i += 2;
        } else {
            fprintf(stderr, "gpio_client: bad call at \"%s\"\n", op);
            return 2;
        }
    }
    return 0;
}
