// The library's names and messages in the edition a test is built for, so
// one test source checks both editions. The texts are messages.h's.
#ifndef VELMO_TESTS_EDITION_H
#define VELMO_TESTS_EDITION_H

#include "VELMOGPIOLib.h"
#include "messages.h"
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
#define MSG_BAD_GPIO DEMO_MSG_BAD_GPIO
#define MSG_BAD_VALUE DEMO_MSG_BAD_VALUE
#define MSG_BAD_CONFIG DEMO_MSG_BAD_CONFIG
#define BUFFER_BYTES 35
#else
#define OP_INIT VelmoGPIOInit
#define OP_CONFIG VelmoGPIOConfig
#define OP_INPUT VelmoGPIOInputBit
#define OP_OUTPUT VelmoGPIOOutputBit
#define OP_SET_ERROR KVNSetLastError
#define MSG_BAD_GPIO OBJECT_MSG_BAD_GPIO
#define MSG_BAD_VALUE OBJECT_MSG_BAD_VALUE
#define MSG_BAD_CONFIG OBJECT_MSG_BAD_CONFIG
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
    case Refusal::ByKernel: return DEMO_MSG_BY_KERNEL;
    case Refusal::NoIoperm: return DEMO_MSG_NO_IOPERM;
    case Refusal::OutOfRange: return DEMO_MSG_OUT_OF_RANGE;
    default: return DEMO_MSG_DENIED;
    }
#else
    char text[128];
    switch (why) {
    case Refusal::NeedsCap: std::snprintf(text, sizeof text, OBJECT_MSG_NEEDS_CAP_FMT, port); break;
    case Refusal::ByKernel: std::snprintf(text, sizeof text, OBJECT_MSG_BY_KERNEL_FMT, port); break;
    case Refusal::NoIoperm: std::snprintf(text, sizeof text, OBJECT_MSG_NO_IOPERM_FMT, port); break;
    case Refusal::OutOfRange: std::snprintf(text, sizeof text, OBJECT_MSG_OUT_OF_RANGE_FMT, port); break;
    case Refusal::Other: std::snprintf(text, sizeof text, OBJECT_MSG_OTHER_FMT, port, errno_value); break;
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
