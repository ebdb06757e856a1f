// walk: lines 1-4 of the Velmo board become inputs and 5-8 outputs; a high
// level walks along the outputs, one line at a time, then the inputs are
// read and shown.
#include <VELMOGPIOLib.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

// A library call gives 0 or -1; -1 becomes an exception that carries the
// library's own text.
void check(int result, const std::string &what)
{
    if (result != 0) {
        char *text = nullptr;
        KVNGetLastError(&text);
        throw std::runtime_error(what + ": " + text);
    }
}

} // namespace

int main()
{
    try {
        check(VelmoGPIOInit(), "init");
        check(VelmoGPIOConfig(0x0F), "configure"); // bit i is line i+1: 1 input
        for (int line = 5; line <= 8; ++line) {
            check(VelmoGPIOOutputBit(line, 1), "line " + std::to_string(line) + " high");
            check(VelmoGPIOOutputBit(line, 0), "line " + std::to_string(line) + " low");
        }
        std::string levels;
        for (int line = 1; line <= 4; ++line) {
            int level = 0;
            check(VelmoGPIOInputBit(line, &level), "read line " + std::to_string(line));
            levels += " " + std::to_string(line) + "=" + std::to_string(level);
        }
        std::printf("walked lines 5-8; inputs:%s\n", levels.c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "walk: %s\n", e.what());
        return 1;
    }
    return 0;
}
