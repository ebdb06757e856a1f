// The library's names and messages in the edition a test is built for, so
// one test source checks both editions. The texts are the documented ones,
// written out here, not taken from the library.
#ifndef VELMO_TESTS_EDITION_H
#define VELMO_TESTS_EDITION_H

#include "VELMOGPIOLib.h"
#include "refusal.h"

#include <cstdint>
#include <cstdio>
#include <string>

#ifdef VELMOGPIO_DEMO_EDITION
#define OP_INIT VELMOGPIOInit
#define OP_CONFIG VELMOGPIOConfigure
#define OP_INPUT VELMOGPIOInputBit
#define OP_OUTPUT VELMOGPIOOutputBit
#define OP_SET_ERROR seterror
#define MSG_BAD_GPIO "Invalid GPIO number."
#define MSG_BAD_VALUE "Invalid value entered."
#define MSG_BAD_CONFIG "Invalid configuration value."
#define BUFFER_BYTES 35
#else
#define OP_INIT VelmoGPIOInit
#define OP_CONFIG VelmoGPIOConfig
#define OP_INPUT VelmoGPIOInputBit
#define OP_OUTPUT VelmoGPIOOutputBit
#define OP_SET_ERROR KVNSetLastError
#define MSG_BAD_GPIO "Invalid GPIO number specified."
#define MSG_BAD_VALUE "Invalid value entered."
#define MSG_BAD_CONFIG "Invalid configuration value specified."
#define BUFFER_BYTES 200
#endif

// The message of a refused request for port; errno_value is the errno of
// Refusal::Other. The object edition names the port as a 32-bit number.
inline std::string refused_message(velmo::test::Refusal why, std::uint32_t port, int errno_value = 0)
{
    using velmo::test::Refusal;
#ifdef VELMOGPIO_DEMO_EDITION
    (void)port;
    (void)errno_value;
    switch (why) {
    case Refusal::ByKernel:
        return "I/O port access denied by kernel.";
    case Refusal::NoIoperm:
        return "No I/O port access in this kernel.";
    case Refusal::OutOfRange:
        return "I/O port out of range.";
    default:
        return "I/O port access denied.";
    }
#else
    char text[128];
    switch (why) {
    case Refusal::NeedsCap:
        std::snprintf(text, sizeof text, "I/O port 0x%x: access denied (needs CAP_SYS_RAWIO).", port);
        break;
    case Refusal::ByKernel:
        std::snprintf(text, sizeof text, "I/O port 0x%x: access denied by the kernel (lockdown or container).", port);
        break;
    case Refusal::NoIoperm:
        std::snprintf(text, sizeof text, "I/O port 0x%x: this kernel has no port access (ioperm not implemented).", port);
        break;
    case Refusal::OutOfRange:
        std::snprintf(text, sizeof text, "I/O port 0x%x: out of range (ports end at 0xffff).", port);
        break;
    case Refusal::Other:
        std::snprintf(text, sizeof text, "I/O port 0x%x: access refused (error %d).", port, errno_value);
        break;
    }
    return text;
#endif
}

// The message of an unprivileged process refused port (EPERM).
inline std::string denied(std::uint32_t port)
{
    return refused_message(velmo::test::Refusal::NeedsCap, port);
}

#endif
