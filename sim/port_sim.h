// The simulated board behind the port primitives of port_sim.cpp: one port
// space and the grants of the one process that the tests run in.
#ifndef VELMO_SIM_PORT_SIM_H
#define VELMO_SIM_PORT_SIM_H

#include "ports.h"

namespace velmo::sim {

Ports &ports();
Grants &grants();
// A power-on board, nothing granted, nothing refused, an empty trace.
void reset();

} // namespace velmo::sim

#endif
