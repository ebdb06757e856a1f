/* A C client of the delivered object (VELMOGPIOLib.o, object edition),
 * driven from its command line so each end-to-end test chooses the calls:
 *
 *   gpio_client [config WORD | in LINE | out LINE LEVEL | base PORT]...
 *
 * Prints one line per call: what was called, its result, then the level
 * read or the last-error message. */
#include "VELMOGPIOLib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
