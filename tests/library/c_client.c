/* A plain C client of the delivered object, linked with gcc alone. Where
 * port access is refused (as here) every operation that touches a port
 * must fail with the message for the kernel's answer, naming the port, and
 * nothing may crash. */
#include "VELMOGPIOLib.h"
#include "kernel_ports.h"
#include "messages.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int failures;
static struct velmo_kernel_answer here;

static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s (message \"%s\")\n", what, buffer);
        ++failures;
    }
}

/* The documented message for a refusal of port, as the kernel refuses here. */
static const char *refused(unsigned int port)
{
    static char text[128];
    if (here.error == ENOSYS) {
        snprintf(text, sizeof text, OBJECT_MSG_NO_IOPERM_FMT, port);
    } else if (here.error == EPERM && here.rawio) {
        snprintf(text, sizeof text, OBJECT_MSG_BY_KERNEL_FMT, port);
    } else if (here.error == EPERM) {
        snprintf(text, sizeof text, OBJECT_MSG_NEEDS_CAP_FMT, port);
    } else {
        snprintf(text, sizeof text, OBJECT_MSG_OTHER_FMT, port, here.error);
    }
    return text;
}

int main(void)
{
    int level = 42;

    here = velmo_ask_kernel();
    if (here.granted) {
        puts("port access is granted here; not touching real hardware");
        return 77;
    }
    expect(sizeof buffer == 200, "buffer is 200 bytes");
    expect(BaseAddress == 0x500 && GPIO1_pos[1] == 2 && GPIO2_pos[3] == 7, "initial globals");
    expect(error == NULL, "error starts null");
    expect(KVNGetLastError(&error) == -1 && error == buffer && error[0] == '\0', "empty message");

    expect(VelmoGPIOInit() == 0, "init");
    expect(VelmoGPIOConfig(0x0F) == -1 && strcmp(error, refused(0x507)) == 0, "configure refused");
    printf("refused: %s\n", error);
    expect(KVNSetLastError(1) == -1 && strcmp(error, OBJECT_MSG_BAD_GPIO) == 0, "setter");
    expect(VelmoGPIOInputBit(3, &level) == -1 && strcmp(error, refused(0x50f)) == 0 && level == 42, "read refused");
    expect(KVNSetLastError(4) == -1 && strcmp(error, refused(0x50f)) == 0, "setter ignores code 4");
    expect(VelmoGPIOOutputBit(6, 1) == -1 && strcmp(error, refused(0x538)) == 0, "drive refused");
    expect(VelmoGPIOOutputBit(6, 2) == -1 && strcmp(error, OBJECT_MSG_BAD_VALUE) == 0, "bad level");
    expect(ReadIO(0x538) == 0xFF, "ReadIO refused reads 0xff");
    WriteIO(0x538, 0x04);

    if (failures != 0) {
        return 1;
    }
    puts("c client: ok");
    return 0;
}
