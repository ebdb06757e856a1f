/* Exit 0 when the kernel refuses port access here (so the clients' real
 * primitives can run safely), 77 when it grants it. */
#include <stdio.h>
#include <sys/io.h>

int main(void)
{
    if (ioperm(0x500, 0x40, 1) == 0) {
        ioperm(0x500, 0x40, 0);
        puts("port access is granted here; clients with the real primitives are not run");
        return 77;
    }
    return 0;
}
