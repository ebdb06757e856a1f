// The simulated Velmo board: the hardware alone. Its four GPIO registers at
// a base port, each bank's output latch, and the levels that the world
// outside drives onto the pins. Nothing of the kernel is here: which ports a
// program may touch is grants.h, and the port space as a program sees it
// (access checks, faults, the trace) is ports.h.
//
// One model serves the tests (through the port seam in port_sim.cpp), the
// emulator (which serves a traced program's port instructions from it) and
// the board file that several programs share (board_file.h).
#ifndef VELMO_SIM_BOARD_H
#define VELMO_SIM_BOARD_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo::sim {

// One bank of four lines: a direction register, an output latch and the
// levels that the world outside drives onto the pins.
struct Bank {
    std::uint8_t direction = 0xFF; // 1 = input
    std::uint8_t latch = 0x00;     // last value written to the data register
    std::uint8_t outside = 0x00;   // external levels

    // What the data register reads: an output bit its latch, an input bit
    // the level outside.
    std::uint8_t data() const { return static_cast<std::uint8_t>((latch & ~direction) | (outside & direction)); }

    bool operator==(const Bank &other) const
    {
        return direction == other.direction && latch == other.latch && outside == other.outside;
    }
};

// Register offsets from the board's base port.
constexpr std::uint16_t kBank1Direction = 0x07;
constexpr std::uint16_t kBank1Data = 0x0F;
constexpr std::uint16_t kBank2Direction = 0x34;
constexpr std::uint16_t kBank2Data = 0x38;
constexpr std::uint16_t kDefaultBase = 0x500;

// The board's line map: line n (1-8) is bank (n <= 4 ? 1 : 2), this bit.
constexpr int kLineBit[8] = {0, 2, 3, 4, 1, 2, 6, 7};

struct Line {
    bool input;
    int level;   // what the pin shows: the latch on an output, outside on an input
    int latch;   // the line's bit of the output latch
    int outside; // the level driven onto it from outside
};

// What the eight pins show, bit n-1 for line n: whether each line is an
// input, and the level it shows.
struct Pins {
    std::uint8_t inputs = 0xFF;
    std::uint8_t levels = 0x00;

    std::string show() const; // "board: 1:in=0 2:out=1 ..."

    bool operator==(const Pins &other) const { return inputs == other.inputs && levels == other.levels; }
    bool operator!=(const Pins &other) const { return !(*this == other); }
};

class Board {
public:
    // Power-on: every line an input, latches low, nothing driven, base 0x500.
    Board() = default;

    std::uint16_t base() const { return base_; }
    void set_base(std::uint16_t base) { base_ = base; }

    // Bank 1 or 2; any other number is a programming error (std::out_of_range).
    Bank &bank(int n);
    const Bank &bank(int n) const;

    // True when one of the four registers sits at port.
    bool is_register(std::uint16_t port) const;
    // What `in` reads at port: 0xFF where no register sits.
    std::uint8_t read(std::uint16_t port) const;
    // What `out` does at port: a register takes the value, any other port
    // ignores it.
    void write(std::uint16_t port, std::uint8_t value);

    // --- Lines, in the board's line map --------------------------------------
    Line line(int n) const;             // n from 1 to 8
    void set_outside(int n, int level); // external level of line n
    Pins pins() const;                  // what the eight pins show
    std::string show() const;           // pins().show()

    // --- The board as text ---------------------------------------------------
    // What a board file holds, always kTextSize bytes, so it can be rewritten
    // in place:
    //   velmo-board 2
    //   base=0x0500
    //   bank1 direction=0xff latch=0x00 outside=0x00
    //   bank2 direction=0xff latch=0x00 outside=0x00
    static constexpr std::size_t kTextSize = 116;
    std::string text() const;
    // Takes a board's text: the form above, or the three lines of version 1
    // (no base line; base 0x500). On anything else returns false with the
    // reason in why and leaves the board as it was.
    bool parse(const std::string &text, std::string &why);

    bool operator==(const Board &other) const
    {
        return base_ == other.base_ && banks_[0] == other.banks_[0] && banks_[1] == other.banks_[1];
    }
    bool operator!=(const Board &other) const { return !(*this == other); }

private:
    // Bank and register kind of a port: 0 when no register sits there.
    int bank_of(std::uint16_t port, bool &is_data) const;

    std::uint16_t base_ = kDefaultBase;
    Bank banks_[2];
};

} // namespace velmo::sim

#endif // VELMO_SIM_BOARD_H
