// The demo's texts, written out by hand as an operator sees them, to build
// expected transcripts from.
#ifndef VELMO_TESTS_DEMO_TRANSCRIPTS_H
#define VELMO_TESTS_DEMO_TRANSCRIPTS_H

#include "messages.h"

#include <string>

namespace velmo::demo_test {

const std::string kTitle = "Velmo GPIO demo\n";
// A newline, then 57 equals signs.
const std::string kRule = "\n=========================================================\n";
const std::string kMenu = kRule +
                          "Select an option from follwing menu\n"
                          "1)Configure GPIO \n"
                          "2)GPIO Input\n"
                          "3)GPIO Output\n"
                          "-1)Exit\n" +
                          kRule;
const std::string kInvalidOption = "Invalid option selected\n";
const std::string kReadPrompt = "Select GPIO number to read or -1 to main menu (1-8) \n";
const std::string kWritePrompt = "Select GPIO number to write or -1 to main menu (1-8) \n";
const std::string kLevelPrompt = "Enter value (0-Low,1-High) \n";

inline std::string config_prompt(int line)
{
    return "Enter GPIO " + std::to_string(line) + " configuartion value (0-Output 1-Input) : \n";
}

// The prompts for lines 1 to last.
inline std::string config_prompts(int last = 8)
{
    std::string text;
    for (int line = 1; line <= last; ++line) {
        text += config_prompt(line);
    }
    return text;
}

// The demo edition's messages (messages.h).
const std::string kBadGpio = DEMO_MSG_BAD_GPIO;
const std::string kBadValue = DEMO_MSG_BAD_VALUE;
const std::string kBadConfig = DEMO_MSG_BAD_CONFIG;
const std::string kDenied = DEMO_MSG_DENIED;
const std::string kDeniedByKernel = DEMO_MSG_BY_KERNEL;
const std::string kNoPortAccess = DEMO_MSG_NO_IOPERM;
const std::string kOutOfRange = DEMO_MSG_OUT_OF_RANGE;

} // namespace velmo::demo_test

#endif
