// Port primitives served by the simulated board: what the library is linked
// with in the tests, in place of ioperm(2) and the in/out instructions. The
// process is one task with one set of grants.
#include "port_sim.h"
#include "velmo_port.h"

namespace velmo::sim {

namespace {

struct Capability {
    bool held = false;
    int asked = 0;
};

Capability &rawio()
{
    static Capability the_capability;
    return the_capability;
}

} // namespace

Ports &ports()
{
    static Ports the_ports;
    return the_ports;
}

Grants &grants()
{
    static Grants the_grants;
    return the_grants;
}

void set_rawio(bool held)
{
    rawio().held = held;
}

int rawio_asked()
{
    return rawio().asked;
}

void reset()
{
    ports() = Ports();
    grants() = Grants();
    rawio() = Capability();
}

} // namespace velmo::sim

extern "C" {

int velmo_port_request(unsigned long from, unsigned long num, int turn_on)
{
    return velmo::sim::ports().request(velmo::sim::grants(), from, num, turn_on);
}

int velmo_port_has_rawio(void)
{
    ++velmo::sim::rawio().asked;
    return velmo::sim::rawio().held ? 1 : 0;
}

unsigned char velmo_port_in(unsigned short port)
{
    // A read without access is a fault on the board (the process would be
    // killed); the model records it and the bus reads 0xFF.
    std::uint8_t value = 0xFF;
    velmo::sim::ports().in(velmo::sim::grants(), port, value);
    return value;
}

void velmo_port_out(unsigned short port, unsigned char value)
{
    velmo::sim::ports().out(velmo::sim::grants(), port, value);
}

} // extern "C"
