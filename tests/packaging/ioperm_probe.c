/* Exit 0 when the kernel refuses port access here (so the clients' real
 * primitives can run safely), 77 when it grants it. A refusal is printed
 * as the client's message should tell it: "ENOSYS", "EPERM" (without
 * CAP_SYS_RAWIO, capability 17, in the effective set), "EPERM rawio" (with
 * it) or "errno N". */
#include <errno.h>
#include <stdio.h>
#include <sys/io.h>

static int holds_rawio(void)
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

int main(void)
{
    if (ioperm(0x500, 0x40, 1) == 0) {
        ioperm(0x500, 0x40, 0);
        puts("port access is granted here; clients with the real primitives are not run");
        return 77;
    }
    if (errno == ENOSYS) {
        puts("ENOSYS");
    } else if (errno == EPERM) {
        puts(holds_rawio() ? "EPERM rawio" : "EPERM");
    } else {
        printf("errno %d\n", errno);
    }
    return 0;
}
