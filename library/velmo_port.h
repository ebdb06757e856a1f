/*
 * The three things the library needs of the machine: ask for access to a
 * range of I/O ports, and move one byte in or out of a port.
 *
 * The library is linked with one of two implementations:
 *   port_io.cpp          ioperm(2) and the x86 in/out instructions (the board)
 *   sim/port_sim.cpp     the simulated board (tests)
 * so the register logic is the same code on the board and in the tests.
 */
#ifndef VELMO_PORT_H
#define VELMO_PORT_H

#ifdef __cplusplus
extern "C" {
#endif

/* As ioperm(2): 0 when access to ports [from, from + num) is granted (or,
 * with turn_on 0, taken away), -1 when the kernel refuses. */
int velmo_port_request(unsigned long from, unsigned long num, int turn_on);

/* One byte in from / out to a port the process has been granted. */
unsigned char velmo_port_in(unsigned short port);
void velmo_port_out(unsigned short port, unsigned char value);

#ifdef __cplusplus
}
#endif

#endif /* VELMO_PORT_H */
