/* Exit 0 when the kernel refuses port access here (so the clients' real
 * primitives can run safely), 77 when it grants it. A refusal is printed
 * as the client's message should tell it: "ENOSYS", "EPERM" (without
 * CAP_SYS_RAWIO, capability 17, in the effective set), "EPERM rawio" (with
 * it) or "errno N". */
#include "kernel_ports.h"

int main(void)
{
    const struct velmo_kernel_answer here = velmo_ask_kernel();
    if (here.granted) {
        puts("port access is granted here; clients with the real primitives are not run");
        return 77;
    }
    if (here.error == ENOSYS) {
        puts("ENOSYS");
    } else if (here.error == EPERM) {
        puts(here.rawio ? "EPERM rawio" : "EPERM");
    } else {
        printf("errno %d\n", here.error);
    }
    return 0;
}
