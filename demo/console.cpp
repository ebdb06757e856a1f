// The console demo of the Velmo board's GPIO lines: its menu and dialogues.
// VelmoGPIO.cpp runs them on the board, velmo_demo_sim.cpp on the
// simulated board.
//
// An operator drives the eight lines by typing numbers: a menu, then a
// configuration, a read and a write dialogue. Scripts fed to the demo by
// operators depend on every text below, typos and trailing blanks included,
// so none of them may change.
//
// Each answer is one read of at most 19 characters (a longer line is left
// partly unread, and the next prompt takes the rest), then one decimal
// integer parsed from it as "%d" would. An answer without a number leaves
// the variable as it was; each function zeroes its variables once, on entry.
//
// Linked with the demo edition of the library (VELMOGPIO_DEMO_EDITION).
#include "console.h"

#include "VELMOGPIOLib.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One read takes at most kAnswerSize - 1 characters, the newline included
// when it falls within them.
const int kAnswerSize = 20;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// White space as "%d" skips it in the C locale.
bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Parses a decimal integer as "%d" does: leading white space, an optional
// sign, then the digits up to the first other character. A number outside
// the 32-bit signed range is no number (where "%d" would wrap it, so that
// 4294967295 could read as -1 and quit the menu). Returns false, leaving
// *value alone, when there is no number.
bool parse_int(const char *text, int *value)
{
    const char *p = text;
    while (is_space(*p)) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    if (!is_digit(*p)) {
        return false;
    }
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long magnitude = 0;
    for (; is_digit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            return false;
        }
    }
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

// Reads one answer into *value. At end of input the session is over: the
// program ends with status 0 and prints nothing more (rather than asking
// again for ever). A failed read of standard input is said on standard
// error and ends the program with status 1.
void read_answer(int *value)
{
    char answer[kAnswerSize];
    if (std::fgets(answer, kAnswerSize, stdin) == nullptr) {
        if (std::ferror(stdin)) {
            const int cause = errno;
            std::fflush(stdout);
            std::fprintf(stderr, "VelmoGPIO: cannot read standard input: %s\n", std::strerror(cause));
            std::exit(1);
        }
        std::exit(0);
    }
    parse_int(answer, value);
}

// The library's text for its last failure.
const char *last_error()
{
    KVNGetLastError(&error);
    return error;
}

const char kRule[] = "\n=========================================================";

} // namespace

// Sets the direction of all eight lines: entry k (1 input, 0 output) is
// shifted to bit k - 1 and OR-ed into one word, unchecked; an entry that is
// negative or reaches past bit 7 makes the library refuse the whole word.
void GPIO_Configure()
{
    unsigned int config = 0;
    int entry = 0;
    for (int k = 0; k < 8; ++k) {
        std::printf("Enter GPIO %d configuartion value (0-Output 1-Input) : \n", k + 1);
        read_answer(&entry);
        config |= static_cast<unsigned int>(entry) << k;
    }
    if (VELMOGPIOConfigure(config) == -1) {
        std::printf("VELMOGPIOConfigure Error:%s\n", last_error());
    }
}

// Reads lines until -1 or a failure.
void GPIO_Input()
{
    int gpio = 0;
    int level = 0;
    for (;;) {
        std::puts("Select GPIO number to read or -1 to main menu (1-8) ");
        read_answer(&gpio);
        if (gpio == -1) {
            return;
        }
        if (VELMOGPIOInputBit(gpio, &level) == -1) {
            std::printf("VELMOGPIOInputBit Error:%s\n", last_error());
            return;
        }
        std::printf("GPIO %d = 0x%hx\n", gpio, static_cast<unsigned short>(level));
    }
}

// Drives lines until -1 or a failure. The line number is echoed before it
// is tested, without a newline; the library alone checks it, after the
// level has been asked for.
void GPIO_Output()
{
    int gpio = 0;
    int level = 0;
    for (;;) {
        std::puts("Select GPIO number to write or -1 to main menu (1-8) ");
        read_answer(&gpio);
        std::printf("GPIO is%d", gpio);
        if (gpio == -1) {
            return;
        }
        std::puts("Enter value (0-Low,1-High) ");
        read_answer(&level);
        if (VELMOGPIOOutputBit(gpio, static_cast<unsigned int>(level)) == -1) {
            std::printf("VELMOGPIOOutputBit Error:%s\n", last_error());
            return;
        }
    }
}

int demo_menu()
{
    VELMOGPIOInit();
    std::puts("Velmo GPIO demo");
    int choice = 0;
    do {
        std::puts(kRule);
        std::puts("Select an option from follwing menu");
        std::puts("1)Configure GPIO ");
        std::puts("2)GPIO Input");
        std::puts("3)GPIO Output");
        std::puts("-1)Exit");
        std::puts(kRule);
        read_answer(&choice);
        switch (choice) {
        case 1: GPIO_Configure(); break;
        case 2: GPIO_Input(); break;
        case 3: GPIO_Output(); break;
        case -1: break;
        default: std::puts("Invalid option selected"); break;
        }
    } while (choice != -1);
    return 0;
}
