/* A plain C client of the delivered object, linked with gcc alone. Where
 * port access is refused (as here) every operation that touches a port
 * must fail with the refused-access message, and nothing may crash. */
#include "VELMOGPIOLib.h"

#include <stdio.h>
#include <string.h>
#include <sys/io.h>

static const char denied[] = "I/O port access denied (needs CAP_SYS_RAWIO).";
static int failures;

static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s (message \"%s\")\n", what, buffer);
        ++failures;
    }
}

int main(void)
{
    int level = 42;

    if (ioperm(0x500, 0x40, 1) == 0) {
        ioperm(0x500, 0x40, 0);
        puts("port access is granted here; not touching real hardware");
        return 77;
    }
    expect(sizeof buffer == 200, "buffer is 200 bytes");
    expect(BaseAddress == 0x500 && GPIO1_pos[1] == 2 && GPIO2_pos[3] == 7, "initial globals");
    expect(error == NULL, "error starts null");
    expect(KVNGetLastError(&error) == -1 && error == buffer && error[0] == '\0', "empty message");

    expect(VelmoGPIOInit() == 0, "init");
    expect(VelmoGPIOConfig(0x0F) == -1 && strcmp(error, denied) == 0, "configure refused");
    expect(KVNSetLastError(1) == -1 && strcmp(error, "Invalid GPIO number specified.") == 0, "setter");
    expect(VelmoGPIOInputBit(3, &level) == -1 && strcmp(error, denied) == 0 && level == 42, "read refused");
    expect(KVNSetLastError(4) == -1 && strcmp(error, denied) == 0, "setter ignores code 4");
    expect(VelmoGPIOOutputBit(6, 1) == -1 && strcmp(error, denied) == 0, "drive refused");
    expect(VelmoGPIOOutputBit(6, 2) == -1 && strcmp(error, "Invalid value entered.") == 0, "bad level");
    expect(ReadIO(0x538) == 0xFF, "ReadIO refused reads 0xff");
    WriteIO(0x538, 0x04);

    if (failures != 0) {
        return 1;
    }
    puts("c client: ok");
    return 0;
}
