// The simulated Velmo board: the x86 I/O-port space as a program on the
// board sees it, with the four GPIO registers, the kernel's per-port access
// grants, and a trace of every event.
//
// One model serves the tests (through the port seam in port_sim.cpp) and the
// emulator (which serves a traced program's port instructions from it).
#ifndef VELMO_SIM_BOARD_H
#define VELMO_SIM_BOARD_H

#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmo::sim {

// One bank of four lines: a direction register, an output latch and the
// levels that the world outside drives onto the pins.
struct Bank {
    std::uint8_t direction = 0xFF; // 1 = input
    std::uint8_t latch = 0x00;     // last value written to the data register
    std::uint8_t outside = 0x00;   // external levels

    // What the data register reads: an output bit its latch, an input bit
    // the level outside.
    std::uint8_t data() const
    {
        return static_cast<std::uint8_t>((latch & ~direction) | (outside & direction));
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
    int level; // what the data register shows for the line: 0 or 1
};

class Board {
public:
    using Listener = std::function<void(const std::string &)>;

    Board() = default;

    // Power-on registers, base 0x500, no access granted, empty trace,
    // requests allowed.
    void reset();

    std::uint16_t base() const { return base_; }
    void set_base(std::uint16_t base) { base_ = base; }

    // Bank 1 or 2; any other number is a programming error (std::out_of_range).
    Bank &bank(int n);
    const Bank &bank(int n) const;

    // --- The kernel side ---------------------------------------------------
    // When set, every access request is refused with EPERM, as for a
    // process without CAP_SYS_RAWIO.
    void set_refuse_all(bool refuse) { refuse_all_ = refuse; }
    bool refuse_all() const { return refuse_all_; }

    // ioperm(from, num, turn_on): 0, or the errno the kernel would give
    // (EINVAL for a range that passes 0xFFFF, EPERM when refused).
    int request(unsigned long long from, unsigned long long num, int turn_on);
    bool granted(std::uint16_t port) const { return granted_[port]; }

    // --- Port instructions ---------------------------------------------------
    // Without access granted to the port these record a fault, move
    // nothing and return false: the kernel would have killed the process.
    bool in(std::uint16_t port, std::uint8_t &value);
    bool out(std::uint16_t port, std::uint8_t value);
    int faults() const { return faults_; }

    // A port's value as `in` would read it, with no access check or trace.
    std::uint8_t peek(std::uint16_t port) const;

    // --- Lines, in the board's line map --------------------------------------
    Line line(int n) const;                 // n from 1 to 8
    void set_outside(int n, int level);     // external level of line n
    std::string show() const;               // "board: 1:in=0 2:out=1 ..."

    // --- Saved state --------------------------------------------------------
    // The registers and outside levels as text, so a board can outlive one
    // program run:
    //   velmo-board 1
    //   bank1 direction=0xff latch=0x00 outside=0x00
    //   bank2 direction=0xff latch=0x00 outside=0x00
    std::string save_state() const;
    // Takes a saved state; on any damage returns false with the reason in
    // why and leaves the board as it was.
    bool load_state(const std::string &text, std::string &why);

    // --- Trace ----------------------------------------------------------------
    const std::vector<std::string> &trace() const { return trace_; }
    std::string trace_text() const;         // one event a line
    void clear_trace() { trace_.clear(); }
    // A long run under the emulator only streams its events to the
    // listener; keeping them all would grow without bound.
    void set_keep_trace(bool keep) { keep_trace_ = keep; }
    // Called with each event's line as it happens (the emulator's --trace).
    void set_listener(Listener listener) { listener_ = std::move(listener); }

private:
    void record(std::string line);
    // Bank and register kind of a port: 0 when no register sits there.
    int bank_of(std::uint16_t port, bool &is_data) const;

    std::uint16_t base_ = kDefaultBase;
    Bank banks_[2];
    std::bitset<65536> granted_;
    bool refuse_all_ = false;
    int faults_ = 0;
    std::vector<std::string> trace_;
    bool keep_trace_ = true;
    Listener listener_;
};

// The board behind the simulated port primitives of port_sim.cpp.
Board &board();

} // namespace velmo::sim

#endif // VELMO_SIM_BOARD_H
