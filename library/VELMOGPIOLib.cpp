// VELMOGPIOLib: register map, port primitives, last-error message and the
// GPIO operations of the Velmo board. See VELMOGPIOLib.h.
//
// Plain functions and fixed tables, nothing from the C++ runtime: the object
// is linked by C programs with a plain C compiler. Everything that is not
// part of the public interface has internal linkage.
#include "VELMOGPIOLib.h"

#include "velmo_port.h"

#include <cerrno>

#ifdef VELMOGPIO_DEMO_EDITION
#define VELMO_INIT VELMOGPIOInit
#define VELMO_CONFIG VELMOGPIOConfigure
#define VELMO_INPUT_BIT VELMOGPIOInputBit
#define VELMO_OUTPUT_BIT VELMOGPIOOutputBit
#define VELMO_SET_ERROR seterror
#else
#define VELMO_INIT VelmoGPIOInit
#define VELMO_CONFIG VelmoGPIOConfig
#define VELMO_INPUT_BIT VelmoGPIOInputBit
#define VELMO_OUTPUT_BIT VelmoGPIOOutputBit
#define VELMO_SET_ERROR KVNSetLastError
#endif

extern "C" {

int BaseAddress = 0x500;
int GPIO1_pos[4] = {0, 2, 3, 4};
int GPIO2_pos[4] = {1, 2, 6, 7};

char buffer[VELMOGPIO_BUFFER_SIZE];
char *error;

} // extern "C"

namespace {

// Messages of error codes 1, 2 and 3.
#ifdef VELMOGPIO_DEMO_EDITION
const char kBadGpioMessage[] = "Invalid GPIO number.";
const char kBadValueMessage[] = "Invalid value entered.";
const char kBadConfigMessage[] = "Invalid configuration value.";
#else
const char kBadGpioMessage[] = "Invalid GPIO number specified.";
const char kBadValueMessage[] = "Invalid value entered.";
const char kBadConfigMessage[] = "Invalid configuration value specified.";
#endif

// Every message, with its NUL, fits the buffer of its edition.
static_assert(sizeof kBadGpioMessage <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kBadValueMessage <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kBadConfigMessage <= VELMOGPIO_BUFFER_SIZE, "message fits");

// Copies a message of `size` bytes, its NUL included, to the start of
// buffer, and nothing past it. Called with sizeof of a message above, so
// the copy is a few moves rather than a loop per byte.
#define PUT_MESSAGE(text) put_message(text, sizeof text)
void put_message(const char *text, unsigned int size)
{
    __builtin_memcpy(buffer, text, size);
}

// --- A refused port access ---------------------------------------------------
//
// The message says why, from the kernel's errno: EPERM is an unprivileged
// process, unless the process holds CAP_SYS_RAWIO (then the kernel refuses
// even a privileged one: lockdown, a container, a security module); ENOSYS
// a kernel without ioperm; EINVAL a port past 0xFFFF.

#ifdef VELMOGPIO_DEMO_EDITION

const char kDenied[] = "I/O port access denied.";
const char kDeniedByKernel[] = "I/O port access denied by kernel.";
const char kNoPortAccess[] = "No I/O port access in this kernel.";
const char kOutOfRange[] = "I/O port out of range.";

static_assert(sizeof kDenied <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kDeniedByKernel <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kNoPortAccess <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kOutOfRange <= VELMOGPIO_BUFFER_SIZE, "message fits");

#else

// "I/O port 0x507" and one of the reasons: the port in lower-case hex as
// the 32-bit number the client computed, whatever the kernel was handed.
const char kPortPrefix[] = "I/O port 0x";
const char kNeedsCap[] = ": access denied (needs CAP_SYS_RAWIO).";
const char kDeniedByKernel[] = ": access denied by the kernel (lockdown or container).";
const char kNoPortAccess[] = ": this kernel has no port access (ioperm not implemented).";
const char kOutOfRange[] = ": out of range (ports end at 0xffff).";
const char kRefused[] = ": access refused (error "; // errno in decimal, then kRefusedEnd
const char kRefusedEnd[] = ").";

const unsigned int kHexDigits = 8;      // of a 32-bit port
const unsigned int kDecimalDigits = 11; // of an int, with its sign
static_assert(sizeof kPortPrefix - 1 + kHexDigits + sizeof kNoPortAccess <= VELMOGPIO_BUFFER_SIZE,
              "the longest refusal fits");
static_assert(sizeof kNeedsCap <= sizeof kNoPortAccess && sizeof kDeniedByKernel <= sizeof kNoPortAccess &&
                  sizeof kOutOfRange <= sizeof kNoPortAccess &&
                  sizeof kRefused - 1 + kDecimalDigits + sizeof kRefusedEnd <= sizeof kNoPortAccess,
              "kNoPortAccess is the longest reason");

// Each appends at `at` and returns the end. APPEND copies one of the texts
// above with its NUL, in a few moves, and returns where the NUL went; the
// message is complete when its last piece is one of those.
#define APPEND(at, text) append(at, text, sizeof text)
char *append(char *at, const char *text, unsigned int size)
{
    __builtin_memcpy(at, text, size);
    return at + size - 1;
}

char *append_hex(char *at, unsigned int value)
{
    unsigned int shift = 28;
    while (shift > 0 && (value >> shift) == 0) {
        shift -= 4;
    }
    for (;; shift -= 4) {
        *at++ = "0123456789abcdef"[(value >> shift) & 0xFu];
        if (shift == 0) {
            return at;
        }
    }
}

char *append_decimal(char *at, int value)
{
    unsigned int magnitude = static_cast<unsigned int>(value);
    if (value < 0) {
        *at++ = '-';
        magnitude = 0u - magnitude;
    }
    char digits[10];
    unsigned int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    while (n > 0) {
        *at++ = digits[--n];
    }
    return at;
}

#endif

// Sets the message of a refused request for port and returns -1. Off the
// hot path: not inlined into the operations, and only here is the
// capability asked about.
__attribute__((noinline, cold)) int access_refused(int port, int refusal)
{
    const bool privileged = refusal == EPERM && velmo_port_has_rawio() != 0;
#ifdef VELMOGPIO_DEMO_EDITION
    (void)port;
    if (privileged) {
        PUT_MESSAGE(kDeniedByKernel);
    } else if (refusal == ENOSYS) {
        PUT_MESSAGE(kNoPortAccess);
    } else if (refusal == EINVAL) {
        PUT_MESSAGE(kOutOfRange);
    } else {
        PUT_MESSAGE(kDenied); // EPERM without the capability, and the rest
    }
#else
    char *at = buffer;
    at = append_hex(APPEND(at, kPortPrefix), static_cast<unsigned int>(port));
    if (privileged) {
        APPEND(at, kDeniedByKernel);
    } else if (refusal == EPERM) {
        APPEND(at, kNeedsCap);
    } else if (refusal == ENOSYS) {
        APPEND(at, kNoPortAccess);
    } else if (refusal == EINVAL) {
        APPEND(at, kOutOfRange);
    } else {
        at = append_decimal(APPEND(at, kRefused), refusal);
        APPEND(at, kRefusedEnd);
    }
#endif
    return -1;
}

// The kernel is handed the full port number, as a signed int widened to
// ioperm's unsigned long; the instruction uses its low 16 bits. Each gives
// 0, or the errno of the refusal.
int request_port(int port)
{
    return velmo_port_request(static_cast<unsigned long>(static_cast<long>(port)), 1, 1);
}

int read_port(int port, unsigned int *value)
{
    const int refusal = request_port(port);
    if (refusal != 0) {
        return refusal;
    }
    *value = velmo_port_in(static_cast<unsigned short>(port));
    return 0;
}

int write_port(int port, unsigned int value)
{
    const int refusal = request_port(port);
    if (refusal != 0) {
        return refusal;
    }
    velmo_port_out(static_cast<unsigned short>(port), static_cast<unsigned char>(value));
    return 0;
}

// BaseAddress + offset, wrapping like the hardware's 32-bit add rather than
// overflowing when a client puts the base near INT_MAX.
int register_port(int offset)
{
    return static_cast<int>(static_cast<unsigned int>(BaseAddress) + static_cast<unsigned int>(offset));
}

unsigned int with_bit(unsigned int word, int pos, bool set)
{
    return set ? (word | VELMOGPIO_BIT(pos)) : (word & ~VELMOGPIO_BIT(pos));
}

// Data register port and bit of a valid line (1-8), from the header's
// line map.
void data_bit_of(int gpio, int *port, int *pos)
{
    *port = register_port(VELMOGPIO_DATA_REGISTER(gpio));
    *pos = VELMOGPIO_LINE_POS(gpio);
}

} // namespace

extern "C" {

unsigned char ReadIO(int port)
{
    unsigned int value = 0xFF;
    read_port(port, &value);
    return static_cast<unsigned char>(value);
}

void WriteIO(int port, unsigned char value)
{
    write_port(port, value);
}

int VELMO_SET_ERROR(int code)
{
    switch (code) {
    case VELMOGPIO_ERR_GPIO: PUT_MESSAGE(kBadGpioMessage); break;
    case VELMOGPIO_ERR_VALUE: PUT_MESSAGE(kBadValueMessage); break;
    case VELMOGPIO_ERR_CONFIG: PUT_MESSAGE(kBadConfigMessage); break;
    default: break; // any other code leaves the message as it is
    }
    return -1;
}

int KVNGetLastError(char **text)
{
    *text = buffer;
    return -1;
}

int VELMO_INIT(void)
{
    return 0;
}

int VELMO_CONFIG(unsigned int config)
{
    const int dir1 = register_port(VELMOGPIO_BANK1_DIRECTION);
    const int dir2 = register_port(VELMOGPIO_BANK2_DIRECTION);
    unsigned int d1 = 0;
    unsigned int d2 = 0;
    if (const int refusal = read_port(dir1, &d1); refusal != 0) {
        return access_refused(dir1, refusal);
    }
    if (const int refusal = read_port(dir2, &d2); refusal != 0) {
        return access_refused(dir2, refusal);
    }
    if (config > 255u) {
        return VELMO_SET_ERROR(VELMOGPIO_ERR_CONFIG);
    }
    for (int i = 0; i < 4; ++i) {
        d1 = with_bit(d1, GPIO1_pos[i], ((config >> i) & 1u) != 0);
    }
    if (const int refusal = write_port(dir1, d1 & 0xFFu); refusal != 0) {
        return access_refused(dir1, refusal);
    }
    for (int i = 4; i < 8; ++i) {
        d2 = with_bit(d2, GPIO2_pos[i - 4], ((config >> i) & 1u) != 0);
    }
    if (const int refusal = write_port(dir2, d2 & 0xFFu); refusal != 0) {
        return access_refused(dir2, refusal);
    }
    return 0;
}

int VELMO_INPUT_BIT(int gpio, int *level)
{
    if (gpio < 1 || gpio > VELMOGPIO_LINES) {
        return VELMO_SET_ERROR(VELMOGPIO_ERR_GPIO);
    }
    int port = 0;
    int pos = 0;
    data_bit_of(gpio, &port, &pos);
    unsigned int value = 0;
    if (const int refusal = read_port(port, &value); refusal != 0) {
        return access_refused(port, refusal);
    }
    *level = (value & VELMOGPIO_BIT(pos)) != 0 ? 1 : 0;
    return 0;
}

int VELMO_OUTPUT_BIT(int gpio, unsigned int level)
{
    if (gpio < 1 || gpio > VELMOGPIO_LINES) {
        return VELMO_SET_ERROR(VELMOGPIO_ERR_GPIO);
    }
    if (level > 1u) {
        return VELMO_SET_ERROR(VELMOGPIO_ERR_VALUE);
    }
    int port = 0;
    int pos = 0;
    data_bit_of(gpio, &port, &pos);
    unsigned int value = 0;
    if (const int refusal = read_port(port, &value); refusal != 0) {
        return access_refused(port, refusal);
    }
    value = with_bit(value, pos, level == 1u);
    if (const int refusal = write_port(port, value & 0xFFu); refusal != 0) {
        return access_refused(port, refusal);
    }
    return 0;
}

} // extern "C"
