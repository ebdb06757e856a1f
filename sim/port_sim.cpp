// Port primitives served by the simulated board: what the library is linked
// with in the tests, in place of ioperm(2) and the in/out instructions.
#include "board.h"
#include "velmo_port.h"

#include <cerrno>

extern "C" {

int velmo_port_request(unsigned long from, unsigned long num, int turn_on)
{
    const int result = velmo::sim::board().request(from, num, turn_on);
    if (result != 0) {
        errno = result;
        return -1;
    }
    return 0;
}

unsigned char velmo_port_in(unsigned short port)
{
    // A read without access is a fault on the board (the process would be
    // killed); the model records it and the bus reads 0xFF.
    std::uint8_t value = 0xFF;
    velmo::sim::board().in(port, value);
    return value;
}

void velmo_port_out(unsigned short port, unsigned char value)
{
    velmo::sim::board().out(port, value);
}

} // extern "C"
