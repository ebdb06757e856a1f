// The simulated board behind the port primitives of port_sim.cpp: one port
// space and the grants and capabilities of the one process that the tests
// run in.
#ifndef VELMO_SIM_PORT_SIM_H
#define VELMO_SIM_PORT_SIM_H

#include "ports.h"

namespace velmo::sim {

Ports &ports();
Grants &grants();

// Whether the process holds CAP_SYS_RAWIO in its effective set, as it
// answers velmo_port_has_rawio. False after reset(), so that a refusal
// with EPERM is an unprivileged process's; true with EPERM models root
// under kernel lockdown or in a container.
void set_rawio(bool held);
// How often the process was asked since reset().
int rawio_asked();

// A power-on board, nothing granted, nothing refused, no capability, an
// empty trace.
void reset();

} // namespace velmo::sim

#endif
