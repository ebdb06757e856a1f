/*
 * VELMOGPIOLib: the eight GPIO lines of the Velmo board, from user space.
 *
 * Compiles as C and as C++. Nothing here but declarations, constants and
 * macros: including it adds no symbol to a program.
 *
 * ---------------------------------------------------------------------------
 * The board
 * ---------------------------------------------------------------------------
 *
 * The lines sit behind four byte-wide registers in the x86 I/O-port space,
 * at BaseAddress plus a fixed offset (VELMOGPIO_BANK1_DIRECTION and the
 * others below):
 *
 *   BaseAddress + 0x07  bank 1 direction  lines 1-4   bit 1 = input, 0 = output
 *   BaseAddress + 0x0F  bank 1 data       lines 1-4   bit 1 = high, 0 = low
 *   BaseAddress + 0x34  bank 2 direction  lines 5-8
 *   BaseAddress + 0x38  bank 2 data       lines 5-8
 *
 * Line n (1-4) is bit GPIO1_pos[n-1] of both bank 1 registers; line n (5-8)
 * is bit GPIO2_pos[n-5] of both bank 2 registers (VELMOGPIO_LINE_POS). A
 * position is a shift count on a 32-bit word taken modulo 32; one of 8 to
 * 31 lies above the register, and such a line reads 0 and is never changed.
 * Bits that belong to no line are written back as they were read.
 *
 * ---------------------------------------------------------------------------
 * Port access and privileges
 * ---------------------------------------------------------------------------
 *
 * Before every single register access the library asks the kernel for that
 * one port, ioperm(port, 1, 1), and only when it is granted runs the x86 in
 * or out instruction. Access is never given back. The full 32-bit
 * BaseAddress + offset is what the kernel is handed (on x86_64 the int
 * widened to unsigned long, so a negative port is sign-extended); the
 * instruction uses its low 16 bits.
 *
 * The kernel grants ports only to a process holding CAP_SYS_RAWIO in its
 * effective set (root, or a program given it with
 * `setcap cap_sys_rawio+ep`), and only where the kernel allows raw port
 * access at all (not under lockdown, not in most containers, and not in a
 * kernel built without ioperm). The process needs the capability for as
 * long as it drives the lines: since the library asks before every access,
 * ports granted to a parent before exec, or kept by a process after it
 * dropped the capability, are not used; the next request is refused.
 *
 * Without the Velmo board the same ports may belong to other hardware (a
 * chipset's GPIO or power-management block, a serial or parallel card),
 * and writing them can change that hardware. Do not run a client with port
 * access on a machine whose board is not at BaseAddress.
 *
 * ---------------------------------------------------------------------------
 * Results and errors
 * ---------------------------------------------------------------------------
 *
 * Every call returns 0 on success and -1 on failure, and a failure leaves a
 * NUL-terminated text in buffer that says why (KVNGetLastError hands out a
 * pointer to it). Successes never change the text. Argument errors have a
 * code and a fixed message:
 *
 *   code                    object edition                            demo edition
 *   1 VELMOGPIO_ERR_GPIO    "Invalid GPIO number specified."          "Invalid GPIO number."
 *   2 VELMOGPIO_ERR_VALUE   "Invalid value entered."                  "Invalid value entered."
 *   3 VELMOGPIO_ERR_CONFIG  "Invalid configuration value specified."  "Invalid configuration value."
 *
 * A refused port access has no code (the setter cannot set it); an
 * operation stops at the first refused request, runs no port instruction
 * for it, touches no port after it and returns -1 with a message chosen
 * from ioperm's errno. In the object edition it names the refused port in
 * lower-case hex, as the 32-bit number BaseAddress + offset (0xfffffb07
 * for BaseAddress -0x500 + 7, on every architecture):
 *
 *   EPERM, without CAP_SYS_RAWIO in the effective set
 *       "I/O port 0x507: access denied (needs CAP_SYS_RAWIO)."
 *   EPERM, with it (kernel lockdown, a container, a security module)
 *       "I/O port 0x507: access denied by the kernel (lockdown or container)."
 *   ENOSYS (a kernel without port access, as in many virtual machines)
 *       "I/O port 0x507: this kernel has no port access (ioperm not implemented)."
 *   EINVAL (a port past 0xFFFF, from a moved BaseAddress)
 *       "I/O port 0x10507: out of range (ports end at 0xffff)."
 *   any other errno N, in decimal
 *       "I/O port 0x507: access refused (error N)."
 *
 * The demo edition says "I/O port access denied." (EPERM without the
 * capability, and any other errno), "I/O port access denied by kernel."
 * (EPERM with it), "No I/O port access in this kernel." (ENOSYS) and
 * "I/O port out of range." (EINVAL). Whether the process holds the
 * capability is asked (capget(2)) only after an EPERM.
 *
 * ---------------------------------------------------------------------------
 * Editions
 * ---------------------------------------------------------------------------
 *
 * One source, two editions. The object edition (the default) is what a
 * client links; the demo edition (VELMOGPIO_DEMO_EDITION defined) goes into
 * the console demo, with other names for some calls, the shorter messages
 * above and a 35-byte buffer.
 *
 * No call is thread-safe: there are no locks, configure and drive are
 * read-modify-write sequences on shared registers, and all threads share
 * one message buffer.
 */
#ifndef VELMOGPIOLIB_H
#define VELMOGPIOLIB_H

#ifdef __cplusplus
extern "C" {
#endif

/* Size of buffer, the last-error message with its NUL. */
#ifdef VELMOGPIO_DEMO_EDITION
#define VELMOGPIO_BUFFER_SIZE 35
#else
#define VELMOGPIO_BUFFER_SIZE 200
#endif

/* Error codes: what the setter takes, and why an argument was refused. */
#define VELMOGPIO_ERR_GPIO 1   /* a line number outside 1-8 */
#define VELMOGPIO_ERR_VALUE 2  /* a level other than 0 or 1 */
#define VELMOGPIO_ERR_CONFIG 3 /* a configuration word above 255 */

/* Register offsets from BaseAddress. */
#define VELMOGPIO_BANK1_DIRECTION 0x07 /* lines 1-4: 1 input, 0 output */
#define VELMOGPIO_BANK1_DATA 0x0F      /* lines 1-4: levels */
#define VELMOGPIO_BANK2_DIRECTION 0x34 /* lines 5-8 */
#define VELMOGPIO_BANK2_DATA 0x38      /* lines 5-8 */

/* Lines are numbered 1 to VELMOGPIO_LINES; 1-4 are bank 1, 5-8 bank 2. */
#define VELMOGPIO_LINES 8

/* For a line n from 1 to 8 (n is evaluated more than once):
 * its bank, 1 or 2; the offsets of its bank's direction and data
 * registers; and its bit position in them, from the position tables as
 * they are now. */
#define VELMOGPIO_LINE_BANK(n) ((n) <= 4 ? 1 : 2)
#define VELMOGPIO_DIRECTION_REGISTER(n) ((n) <= 4 ? VELMOGPIO_BANK1_DIRECTION : VELMOGPIO_BANK2_DIRECTION)
#define VELMOGPIO_DATA_REGISTER(n) ((n) <= 4 ? VELMOGPIO_BANK1_DATA : VELMOGPIO_BANK2_DATA)
#define VELMOGPIO_LINE_POS(n) ((n) <= 4 ? GPIO1_pos[(n)-1] : GPIO2_pos[(n)-5])

/* The mask of bit position pos in a register value, as the library applies
 * a position: a shift count on an unsigned 32-bit word, modulo 32. */
#define VELMOGPIO_BIT(pos) (1u << ((unsigned int)(pos)&31u))

/* --- Globals ---------------------------------------------------------------
 * Each call uses their current values, so a client may move the register
 * block or remap a line by writing them, with no call in between. The
 * library never writes them. */

/* I/O port of the register block; 0x500. Any int: a port the kernel does
 * not have (above 0xFFFF, or negative) is refused with EINVAL. */
extern int BaseAddress;
/* Bit positions of lines 1-4 in the bank 1 registers: 0, 2, 3, 4. */
extern int GPIO1_pos[4];
/* Bit positions of lines 5-8 in the bank 2 registers: 1, 2, 6, 7. */
extern int GPIO2_pos[4];

/* The last-error message, zero-filled at start (an empty text until the
 * first failure); written only when a call fails. */
extern char buffer[VELMOGPIO_BUFFER_SIZE];
/* A place for a client to keep the pointer KVNGetLastError hands out; null
 * at start. The library neither reads nor writes it. */
extern char *error;

/* --- Port primitives -------------------------------------------------------
 * One byte from or to one port, after ioperm(port, 1, 1). They report no
 * error and never set the message: where access is refused no port
 * instruction runs, ReadIO returns 0xFF and WriteIO writes nothing. */

/**
 * Reads one byte from an I/O port.
 * @param port Any int; the kernel is asked for it as described above, the
 *             instruction uses its low 16 bits.
 * @return The byte read, or 0xFF when access was refused.
 */
unsigned char ReadIO(int port);

/**
 * Writes one byte to an I/O port; nothing when access is refused.
 * @param port  As for ReadIO.
 * @param value The byte.
 */
void WriteIO(int port, unsigned char value);

/* --- Last error ------------------------------------------------------------ */

/**
 * Hands out the last-error message.
 * @param text Where to store the address of buffer; must point to a
 *             writable char pointer (it is not checked). The pointer always
 *             designates buffer itself, so one fetched earlier shows the
 *             latest message.
 * @return -1, always (also before any failure: the text is then empty).
 */
int KVNGetLastError(char **text);

/* --- Operations -------------------------------------------------------------
 * Object edition names; the demo edition's are given with each. Arguments
 * are checked first, in the order given, then the ports are accessed in
 * the order given; the first failure ends the call. */

#ifndef VELMOGPIO_DEMO_EDITION

/**
 * Sets the message of an error code (demo edition: seterror).
 * @param code VELMOGPIO_ERR_GPIO, _VALUE or _CONFIG (1-3); any other code
 *             leaves the message as it is.
 * @return -1, always: an operation fails by returning the setter's result.
 */
int KVNSetLastError(int code);

/**
 * Does nothing: the library needs no start-up (demo edition:
 * VELMOGPIOInit). May be called any number of times, or never.
 * @return 0, always. No port is touched.
 */
int VelmoGPIOInit(void);

/**
 * Sets the direction of all eight lines at once (demo edition:
 * VELMOGPIOConfigure).
 *
 * Reads the bank 1 direction register, then the bank 2 one; checks the
 * word; then writes bank 1's register with lines 1-4 set from bits 0-3 of
 * the word, and bank 2's with lines 5-8 from bits 4-7. Bits of no line
 * are written back as read.
 *
 * @param config Bit i is the direction of line i+1: 1 input, 0 output;
 *               0 to 255. Bits 8-31 must be 0 (so every value that was
 *               negative before conversion is refused).
 * @return 0 on success. -1 with VELMOGPIO_ERR_CONFIG for a word above 255,
 *         after both direction registers were read and with nothing
 *         written; -1 with a refused-access message when one of the four
 *         requests is refused (before the word is checked, for the reads).
 */
int VelmoGPIOConfig(unsigned int config);

/**
 * Reads the level of one line (the same in the demo edition).
 *
 * Reads the line's bank data register; the direction is not consulted, so
 * an output line reads what its data register shows for it.
 *
 * @param gpio  The line, 1 to 8.
 * @param level Where the level goes: exactly 0 or 1. Written only on
 *              success.
 * @return 0 on success. -1 with VELMOGPIO_ERR_GPIO for a line outside 1-8
 *         (no port touched); -1 with a refused-access message.
 */
int VelmoGPIOInputBit(int gpio, int *level);

/**
 * Drives one line high or low (the same in the demo edition).
 *
 * Reads the line's bank data register, sets or clears the line's bit and
 * writes the byte back, other bits as read. The direction is not
 * consulted: on an input line the level is latched and shows on the pin
 * once the line is made an output.
 *
 * @param gpio  The line, 1 to 8; checked first, so a bad line with a bad
 *              level is VELMOGPIO_ERR_GPIO.
 * @param level 0 low or 1 high (so every value that was negative before
 *              conversion is refused).
 * @return 0 on success. -1 with VELMOGPIO_ERR_GPIO for a line outside 1-8;
 *         -1 with VELMOGPIO_ERR_VALUE for a level above 1 (neither touches
 *         a port); -1 with a refused-access message, the data register then
 *         unchanged.
 */
int VelmoGPIOOutputBit(int gpio, unsigned int level);

#else /* the demo edition: the same calls, other names */

int seterror(int code);
int VELMOGPIOInit(void);
int VELMOGPIOConfigure(unsigned int config);
int VELMOGPIOInputBit(int gpio, int *level);
int VELMOGPIOOutputBit(int gpio, unsigned int level);

#endif

#ifdef __cplusplus
}
#endif

#endif /* VELMOGPIOLIB_H */
