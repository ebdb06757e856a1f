/*
 * VELMOGPIOLib: the eight GPIO lines of the Velmo board, from user space.
 *
 * The lines sit behind four byte-wide registers in the x86 I/O-port space:
 *
 *   BaseAddress + 0x07  bank 1 direction  (lines 1-4)   1 = input, 0 = output
 *   BaseAddress + 0x0F  bank 1 data
 *   BaseAddress + 0x34  bank 2 direction  (lines 5-8)
 *   BaseAddress + 0x38  bank 2 data
 *
 * Line n (1-4) is bit GPIO1_pos[n-1] of bank 1; line n (5-8) is bit
 * GPIO2_pos[n-5] of bank 2. A client may move the block or remap a line by
 * writing these globals; every call uses their current values.
 *
 * Every operation returns 0 on success and -1 on failure; KVNGetLastError
 * then hands out the text that says why.
 *
 * An operation stops at the first port access the kernel refuses and says
 * why, from ioperm's errno; the object edition names the port, in
 * lower-case hex as the 32-bit number BaseAddress + offset:
 *   EPERM without CAP_SYS_RAWIO  "I/O port 0x507: access denied (needs CAP_SYS_RAWIO)."
 *   EPERM with it                "I/O port 0x507: access denied by the kernel (lockdown or container)."
 *   ENOSYS                       "I/O port 0x507: this kernel has no port access (ioperm not implemented)."
 *   EINVAL                       "I/O port 0x10507: out of range (ports end at 0xffff)."
 *   any other errno N            "I/O port 0x507: access refused (error N)."
 * The demo edition: "I/O port access denied." (EPERM without the
 * capability, any other errno), "I/O port access denied by kernel."
 * (EPERM with it), "No I/O port access in this kernel." (ENOSYS),
 * "I/O port out of range." (EINVAL).
 *
 * One source, two editions. The object edition (the default) is what a
 * client links; the demo edition (VELMOGPIO_DEMO_EDITION defined) goes into
 * the console demo and has shorter names for some calls, shorter messages
 * and a 35-byte message buffer.
 *
 * Compiles as C and as C++.
 */
#ifndef VELMOGPIOLIB_H
#define VELMOGPIOLIB_H

#ifdef __cplusplus
extern "C" {
#endif

#ifdef VELMOGPIO_DEMO_EDITION
#define VELMOGPIO_BUFFER_SIZE 35
#else
#define VELMOGPIO_BUFFER_SIZE 200
#endif

/* Register block and line map. */
extern int BaseAddress;  /* 0x500 */
extern int GPIO1_pos[4]; /* 0, 2, 3, 4: bits of lines 1-4 in bank 1 */
extern int GPIO2_pos[4]; /* 1, 2, 6, 7: bits of lines 5-8 in bank 2 */

/* Last-error message, and a place for a client to keep the pointer to it. */
extern char buffer[VELMOGPIO_BUFFER_SIZE];
extern char *error;

/* One byte from / to one port, after asking the kernel for access to it.
 * Where access is refused no port instruction runs: ReadIO gives 0xFF and
 * WriteIO writes nothing. */
unsigned char ReadIO(int port);
void WriteIO(int port, unsigned char value);

/* Stores the address of buffer in *text; always returns -1. */
int KVNGetLastError(char **text);

#ifdef VELMOGPIO_DEMO_EDITION
int VELMOGPIOInit(void);
int VELMOGPIOConfigure(unsigned int config);
int VELMOGPIOInputBit(int gpio, int *level);
int VELMOGPIOOutputBit(int gpio, unsigned int level);
int seterror(int code);
#else
int VelmoGPIOInit(void);
int VelmoGPIOConfig(unsigned int config);
int VelmoGPIOInputBit(int gpio, int *level);
int VelmoGPIOOutputBit(int gpio, unsigned int level);
int KVNSetLastError(int code);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VELMOGPIOLIB_H */
