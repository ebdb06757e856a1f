// The library's names and messages in the edition a test is built for, so
// one test source checks both editions. The texts are the documented ones,
// written out here, not taken from the library.
#ifndef VELMO_TESTS_EDITION_H
#define VELMO_TESTS_EDITION_H

#include "VELMOGPIOLib.h"

#ifdef VELMOGPIO_DEMO_EDITION
#define OP_INIT VELMOGPIOInit
#define OP_CONFIG VELMOGPIOConfigure
#define OP_INPUT VELMOGPIOInputBit
#define OP_OUTPUT VELMOGPIOOutputBit
#define OP_SET_ERROR seterror
#define MSG_BAD_GPIO "Invalid GPIO number."
#define MSG_BAD_VALUE "Invalid value entered."
#define MSG_BAD_CONFIG "Invalid configuration value."
#define MSG_DENIED "I/O port access denied."
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
#define MSG_DENIED "I/O port access denied (needs CAP_SYS_RAWIO)."
#define BUFFER_BYTES 200
#endif

#endif
