// Port primitives of the real board: ioperm(2) and the x86 byte-wide
// in/out instructions. Linked into the deliverable object and the demo.
#include "velmo_port.h"

#include <sys/io.h>

extern "C" {

int velmo_port_request(unsigned long from, unsigned long num, int turn_on)
{
    return ioperm(from, num, turn_on) == 0 ? 0 : -1;
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
