// VELMOGPIOLib: register map, port primitives, last-error message and the
// GPIO operations of the Velmo board. See VELMOGPIOLib.h.
//
// Plain functions and fixed tables, nothing from the C++ runtime: the object
// is linked by C programs with a plain C compiler. Everything that is not
// part of the public interface has internal linkage.
#include "VELMOGPIOLib.h"

#include "velmo_port.h"

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

// Register offsets from BaseAddress.
const int kBank1Direction = 0x07;
const int kBank1Data = 0x0F;
const int kBank2Direction = 0x34;
const int kBank2Data = 0x38;

// Messages of error codes 1, 2 and 3, and of a refused port access.
#ifdef VELMOGPIO_DEMO_EDITION
const char kBadGpioMessage[] = "Invalid GPIO number.";
const char kBadValueMessage[] = "Invalid value entered.";
const char kBadConfigMessage[] = "Invalid configuration value.";
const char kAccessDenied[] = "I/O port access denied.";
#else
const char kBadGpioMessage[] = "Invalid GPIO number specified.";
const char kBadValueMessage[] = "Invalid value entered.";
const char kBadConfigMessage[] = "Invalid configuration value specified.";
const char kAccessDenied[] = "I/O port access denied (needs CAP_SYS_RAWIO).";
#endif

const int kBadGpio = 1;
const int kBadValue = 2;
const int kBadConfig = 3;

// Every message, with its NUL, fits the buffer of its edition.
static_assert(sizeof kBadGpioMessage <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kBadValueMessage <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kBadConfigMessage <= VELMOGPIO_BUFFER_SIZE, "message fits");
static_assert(sizeof kAccessDenied <= VELMOGPIO_BUFFER_SIZE, "message fits");

// Copies a message of `size` bytes, its NUL included, to the start of
// buffer, and nothing past it. Called with sizeof of a message above, so
// the copy is a few moves rather than a loop per byte.
#define PUT_MESSAGE(text) put_message(text, sizeof text)
void put_message(const char *text, unsigned int size)
{
    __builtin_memcpy(buffer, text, size);
}

// Not inlined: its copy of the message would be repeated at every refusal.
__attribute__((noinline)) int access_denied()
{
    PUT_MESSAGE(kAccessDenied);
    return -1;
}

// The kernel is handed the full port number, as a signed int widened to
// ioperm's unsigned long; the instruction uses its low 16 bits.
bool request_port(int port)
{
    return velmo_port_request(static_cast<unsigned long>(static_cast<long>(port)), 1, 1) == 0;
}

bool read_port(int port, unsigned int *value)
{
    if (!request_port(port)) {
        return false;
    }
    *value = velmo_port_in(static_cast<unsigned short>(port));
    return true;
}

bool write_port(int port, unsigned int value)
{
    if (!request_port(port)) {
        return false;
    }
    velmo_port_out(static_cast<unsigned short>(port), static_cast<unsigned char>(value));
    return true;
}

// BaseAddress + offset, wrapping like the hardware's 32-bit add rather than
// overflowing when a client puts the base near INT_MAX.
int register_port(int offset)
{
    return static_cast<int>(static_cast<unsigned int>(BaseAddress) + static_cast<unsigned int>(offset));
}

// A position is a shift count on a 32-bit word, taken modulo 32.
unsigned int bit(int pos)
{
    return 1u << (static_cast<unsigned int>(pos) & 31u);
}

unsigned int with_bit(unsigned int word, int pos, bool set)
{
    return set ? (word | bit(pos)) : (word & ~bit(pos));
}

// Data register port and bit of a valid line (1-8).
void data_bit_of(int gpio, int *port, int *pos)
{
    if (gpio <= 4) {
        *port = register_port(kBank1Data);
        *pos = GPIO1_pos[gpio - 1];
    } else {
        *port = register_port(kBank2Data);
        *pos = GPIO2_pos[gpio - 5];
    }
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
    case kBadGpio:
        PUT_MESSAGE(kBadGpioMessage);
        break;
    case kBadValue:
        PUT_MESSAGE(kBadValueMessage);
        break;
    case kBadConfig:
        PUT_MESSAGE(kBadConfigMessage);
        break;
    default:
        break; // any other code leaves the message as it is
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
    unsigned int d1 = 0;
    unsigned int d2 = 0;
    if (!read_port(register_port(kBank1Direction), &d1) ||
        !read_port(register_port(kBank2Direction), &d2)) {
        return access_denied();
    }
    if (config > 255u) {
        return VELMO_SET_ERROR(kBadConfig);
    }
    for (int i = 0; i < 4; ++i) {
        d1 = with_bit(d1, GPIO1_pos[i], ((config >> i) & 1u) != 0);
    }
    if (!write_port(register_port(kBank1Direction), d1 & 0xFFu)) {
        return access_denied();
    }
    for (int i = 4; i < 8; ++i) {
        d2 = with_bit(d2, GPIO2_pos[i - 4], ((config >> i) & 1u) != 0);
    }
    if (!write_port(register_port(kBank2Direction), d2 & 0xFFu)) {
        return access_denied();
    }
    return 0;
}

int VELMO_INPUT_BIT(int gpio, int *level)
{
    if (gpio < 1 || gpio > 8) {
        return VELMO_SET_ERROR(kBadGpio);
    }
    int port = 0;
    int pos = 0;
    data_bit_of(gpio, &port, &pos);
    unsigned int value = 0;
    if (!read_port(port, &value)) {
        return access_denied();
    }
    *level = static_cast<int>((value >> (static_cast<unsigned int>(pos) & 31u)) & 1u);
    return 0;
}

int VELMO_OUTPUT_BIT(int gpio, unsigned int level)
{
    if (gpio < 1 || gpio > 8) {
        return VELMO_SET_ERROR(kBadGpio);
    }
    if (level > 1u) {
        return VELMO_SET_ERROR(kBadValue);
    }
    int port = 0;
    int pos = 0;
    data_bit_of(gpio, &port, &pos);
    unsigned int value = 0;
    if (!read_port(port, &value)) {
        return access_denied();
    }
    value = with_bit(value, pos, level == 1u);
    if (!write_port(port, value & 0xFFu)) {
        return access_denied();
    }
    return 0;
}

} // extern "C"
