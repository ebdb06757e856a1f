/*
 * The things the library needs of the machine: ask for access to a range
 * of I/O ports, move one byte in or out of a port, and, when access was
 * refused, tell why.
 *
 * The library is linked with one of three implementations:
 *   port_io.cpp          ioperm(2), capget(2) and the x86 in/out
 *                        instructions (the board)
 *   sim/port_sim.cpp     the simulated board (tests)
 *   bench/port_count.cpp primitives that only count (the benchmark)
 * so the register logic is the same code on the board and in the tests.
 */
#ifndef VELMO_PORT_H
#define VELMO_PORT_H

#ifdef __cplusplus
extern "C" {
#endif

/* ioperm(2), answered with its errno: 0 when access to ports
 * [from, from + num) is granted (or, with turn_on 0, taken away), else
 * the errno the kernel refused with (EPERM, EINVAL, ENOSYS, ...), never 0. */
int velmo_port_request(unsigned long from, unsigned long num, int turn_on);

/* 1 when the process holds CAP_SYS_RAWIO in its effective set, 0 when it
 * does not or this cannot be told. Asked only after a refusal, to tell an
 * unprivileged process from a kernel that refuses even a privileged one. */
int velmo_port_has_rawio(void);

/* One byte in from / out to a port the process has been granted. */
unsigned char velmo_port_in(unsigned short port);
void velmo_port_out(unsigned short port, unsigned char value);

#ifdef __cplusplus
}
#endif

#endif /* VELMO_PORT_H */
