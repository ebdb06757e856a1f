/* A plain C client of the delivered object, linked with gcc alone. Where
 * port access is refused (as here) every operation that touches a port
 * must fail with the message for the kernel's answer, naming the port, and
 * nothing may crash. */
#include "VELMOGPIOLib.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/io.h>

static int failures;
static int refusal;  /* ioperm's errno here */
static int rawio;    /* whether CAP_SYS_RAWIO is in the effective set */

static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s (message \"%s\")\n", what, buffer);
        ++failures;
    }
}

/* CAP_SYS_RAWIO is capability 17; the kernel lists the effective set in
 * /proc/self/status. */
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

/* The documented message for a refusal of port, as the kernel refuses here. */
static const char *refused(unsigned int port)
{
    static char text[128];
    if (refusal == ENOSYS) {
        snprintf(text, sizeof text, "I/O port 0x%x: this kernel has no port access (ioperm not implemented).", port);
    } else if (refusal == EPERM && rawio) {
        snprintf(text, sizeof text, "I/O port 0x%x: access denied by the kernel (lockdown or container).", port);
    } else if (refusal == EPERM) {
        snprintf(text, sizeof text, "I/O port 0x%x: access denied (needs CAP_SYS_RAWIO).", port);
    } else {
        snprintf(text, sizeof text, "I/O port 0x%x: access refused (error %d).", port, refusal);
    }
    return text;
}

int main(void)
{
    int level = 42;

    if (ioperm(0x500, 0x40, 1) == 0) {
        ioperm(0x500, 0x40, 0);
        puts("port access is granted here; not touching real hardware");
        return 77;
    }
    refusal = errno;
    rawio = holds_rawio();
    expect(sizeof buffer == 200, "buffer is 200 bytes");
    expect(BaseAddress == 0x500 && GPIO1_pos[1] == 2 && GPIO2_pos[3] == 7, "initial globals");
    expect(error == NULL, "error starts null");
    expect(KVNGetLastError(&error) == -1 && error == buffer && error[0] == '\0', "empty message");

    expect(VelmoGPIOInit() == 0, "init");
    expect(VelmoGPIOConfig(0x0F) == -1 && strcmp(error, refused(0x507)) == 0, "configure refused");
    printf("refused: %s\n", error);
    expect(KVNSetLastError(1) == -1 && strcmp(error, "Invalid GPIO number specified.") == 0, "setter");
    expect(VelmoGPIOInputBit(3, &level) == -1 && strcmp(error, refused(0x50f)) == 0 && level == 42, "read refused");
    expect(KVNSetLastError(4) == -1 && strcmp(error, refused(0x50f)) == 0, "setter ignores code 4");
    expect(VelmoGPIOOutputBit(6, 1) == -1 && strcmp(error, refused(0x538)) == 0, "drive refused");
    expect(VelmoGPIOOutputBit(6, 2) == -1 && strcmp(error, "Invalid value entered.") == 0, "bad level");
    expect(ReadIO(0x538) == 0xFF, "ReadIO refused reads 0xff");
    WriteIO(0x538, 0x04);

    if (failures != 0) {
        return 1;
    }
    puts("c client: ok");
    return 0;
}
