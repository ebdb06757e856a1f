// Port primitives of the real board: ioperm(2), capget(2) and the x86
// byte-wide in/out instructions. Linked into the deliverable object and the
// demo; system calls only, through the C library.
#include "velmo_port.h"

#include <cerrno>

#include <linux/capability.h>
#include <sys/io.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {

int velmo_port_request(unsigned long from, unsigned long num, int turn_on)
{
    if (ioperm(from, num, turn_on) == 0) {
        return 0;
    }
    return errno != 0 ? errno : -1; // a refusal is never 0
}

int velmo_port_has_rawio(void)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) {
        return 0;
    }
    return static_cast<int>((sets[CAP_SYS_RAWIO / 32].effective >> (CAP_SYS_RAWIO % 32)) & 1u);
}

unsigned char velmo_port_in(unsigned short port)
{
    unsigned char value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
    return value;
}

void velmo_port_out(unsigned short port, unsigned char value)
{
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}

} // extern "C"
