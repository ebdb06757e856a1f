// Port primitives that only count: the third implementation of the port
// seam (velmo_port.h), beside the real one and the simulated board. Linked
// with the library, it leaves the library's own work alone to be measured
// and lets the accesses of each operation be counted.
#ifndef VELMO_PORT_COUNT_H
#define VELMO_PORT_COUNT_H

namespace velmo::count {

struct Counts {
    unsigned long requests; // velmo_port_request calls (ioperm)
    unsigned long accesses; // velmo_port_in and velmo_port_out calls
    unsigned long asked;    // velmo_port_has_rawio calls (capget)
};

// Counts since the last reset.
Counts counts();
void reset();

// When set, every access request is refused with EPERM, as for an
// unprivileged process (which does not hold CAP_SYS_RAWIO).
void set_refuse(bool refuse);

// What velmo_port_in reads from every port.
void set_read_value(unsigned char value);

} // namespace velmo::count

#endif // VELMO_PORT_COUNT_H
