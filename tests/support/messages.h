/* The library's and the demo's documented texts, written out by hand once
 * for every test (C and C++), not taken from the library.
 *
 * A refused port access in the object edition names the port: the _FMT
 * texts take it as a printf %x (and "error %d" the errno). */
#ifndef VELMO_TESTS_MESSAGES_H
#define VELMO_TESTS_MESSAGES_H

/* The object edition. */
#define OBJECT_MSG_BAD_GPIO "Invalid GPIO number specified."
#define OBJECT_MSG_BAD_VALUE "Invalid value entered."
#define OBJECT_MSG_BAD_CONFIG "Invalid configuration value specified."
#define OBJECT_MSG_NEEDS_CAP_FMT "I/O port 0x%x: access denied (needs CAP_SYS_RAWIO)."
#define OBJECT_MSG_BY_KERNEL_FMT "I/O port 0x%x: access denied by the kernel (lockdown or container)."
#define OBJECT_MSG_NO_IOPERM_FMT "I/O port 0x%x: this kernel has no port access (ioperm not implemented)."
#define OBJECT_MSG_OUT_OF_RANGE_FMT "I/O port 0x%x: out of range (ports end at 0xffff)."
#define OBJECT_MSG_OTHER_FMT "I/O port 0x%x: access refused (error %d)."

/* The demo edition. A refusal: EPERM without CAP_SYS_RAWIO (and any errno
 * but the three below), EPERM with it, ENOSYS, EINVAL. */
#define DEMO_MSG_BAD_GPIO "Invalid GPIO number."
#define DEMO_MSG_BAD_VALUE "Invalid value entered."
#define DEMO_MSG_BAD_CONFIG "Invalid configuration value."
#define DEMO_MSG_DENIED "I/O port access denied."
#define DEMO_MSG_BY_KERNEL "I/O port access denied by kernel."
#define DEMO_MSG_NO_IOPERM "No I/O port access in this kernel."
#define DEMO_MSG_OUT_OF_RANGE "I/O port out of range."

#endif
