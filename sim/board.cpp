#include "board.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace velmo::sim {

namespace {

constexpr unsigned long long kPortCount = 65536;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
    char text[128];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

} // namespace

void Board::reset()
{
    *this = Board();
}

Bank &Board::bank(int n)
{
    if (n != 1 && n != 2) {
        throw std::out_of_range("bank must be 1 or 2");
    }
    return banks_[n - 1];
}

const Bank &Board::bank(int n) const
{
    return const_cast<Board *>(this)->bank(n);
}

int Board::request(unsigned long long from, unsigned long long num, int turn_on)
{
    // The kernel's order: a bad range is EINVAL even for a process that
    // would be refused anyway.
    int result = 0;
    if (num == 0 || from >= kPortCount || num > kPortCount - from) {
        result = EINVAL;
    } else if (turn_on != 0 && refuse_all_) {
        result = EPERM;
    } else {
        for (auto port = static_cast<std::size_t>(from); port < static_cast<std::size_t>(from + num); ++port) {
            granted_[port] = turn_on != 0;
        }
    }
    record(format("ioperm 0x%llx %llu %d %s", from, num, turn_on, result == 0 ? "granted" : "denied"));
    return result;
}

int Board::bank_of(std::uint16_t port, bool &is_data) const
{
    const std::uint16_t offset = static_cast<std::uint16_t>(port - base_);
    is_data = offset == kBank1Data || offset == kBank2Data;
    if (offset == kBank1Direction || offset == kBank1Data) {
        return 1;
    }
    if (offset == kBank2Direction || offset == kBank2Data) {
        return 2;
    }
    return 0;
}

std::uint8_t Board::peek(std::uint16_t port) const
{
    bool is_data = false;
    const int n = bank_of(port, is_data);
    if (n == 0) {
        return 0xFF;
    }
    return is_data ? bank(n).data() : bank(n).direction;
}

bool Board::in(std::uint16_t port, std::uint8_t &value)
{
    if (!granted_[port]) {
        ++faults_;
        record(format("fault in 0x%x", port));
        return false;
    }
    value = peek(port);
    record(format("in 0x%x 0x%02x", port, value));
    return true;
}

bool Board::out(std::uint16_t port, std::uint8_t value)
{
    if (!granted_[port]) {
        ++faults_;
        record(format("fault out 0x%x 0x%02x", port, value));
        return false;
    }
    record(format("out 0x%x 0x%02x", port, value));
    bool is_data = false;
    const int n = bank_of(port, is_data);
    if (n != 0) {
        (is_data ? bank(n).latch : bank(n).direction) = value;
    }
    return true;
}

Line Board::line(int n) const
{
    if (n < 1 || n > 8) {
        throw std::out_of_range("line must be 1 to 8");
    }
    const Bank &b = bank(n <= 4 ? 1 : 2);
    const int bit = kLineBit[n - 1];
    return Line{((b.direction >> bit) & 1) != 0, (b.data() >> bit) & 1};
}

void Board::set_outside(int n, int level)
{
    if (n < 1 || n > 8) {
        throw std::out_of_range("line must be 1 to 8");
    }
    Bank &b = bank(n <= 4 ? 1 : 2);
    const auto mask = static_cast<std::uint8_t>(1u << kLineBit[n - 1]);
    b.outside = static_cast<std::uint8_t>(level != 0 ? (b.outside | mask) : (b.outside & ~mask));
}

std::string Board::show() const
{
    std::string text = "board:";
    for (int n = 1; n <= 8; ++n) {
        const Line l = line(n);
        text += format(" %d:%s=%d", n, l.input ? "in" : "out", l.level);
    }
    return text;
}

std::string Board::save_state() const
{
    std::string text = "velmo-board 1\n";
    for (int n = 1; n <= 2; ++n) {
        const Bank &b = bank(n);
        text += format("bank%d direction=0x%02x latch=0x%02x outside=0x%02x\n", n, b.direction, b.latch, b.outside);
    }
    return text;
}

bool Board::load_state(const std::string &text, std::string &why)
{
    // Exactly the three lines save_state writes; anything else is damage.
    Bank loaded[2];
    std::size_t at = 0;
    for (int row = 0; row < 3; ++row) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            why = row == 0 && text.empty() ? "empty file" : format("line %d is missing or unterminated", row + 1);
            return false;
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (row == 0) {
            if (line != "velmo-board 1") {
                why = "line 1 is not 'velmo-board 1'";
                return false;
            }
            continue;
        }
        unsigned d = 0, l = 0, o = 0;
        int used = 0;
        const std::string want = format("bank%d ", row);
        if (line.compare(0, want.size(), want) != 0 ||
            std::sscanf(line.c_str() + want.size(), "direction=0x%2x latch=0x%2x outside=0x%2x%n", &d, &l, &o, &used) != 3 ||
            static_cast<std::size_t>(used) + want.size() != line.size() ||
            line != format("bank%d direction=0x%02x latch=0x%02x outside=0x%02x", row, d, l, o)) {
            why = format("line %d is not 'bank%d direction=0xNN latch=0xNN outside=0xNN'", row + 1, row);
            return false;
        }
        loaded[row - 1] = Bank{static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(l), static_cast<std::uint8_t>(o)};
    }
    if (at != text.size()) {
        why = "unexpected text after line 3";
        return false;
    }
    banks_[0] = loaded[0];
    banks_[1] = loaded[1];
    return true;
}

std::string Board::trace_text() const
{
    std::string text;
    for (const std::string &event : trace_) {
        text += event;
        text += '\n';
    }
    return text;
}

void Board::record(std::string line)
{
    if (listener_) {
        listener_(line);
    }
    if (keep_trace_) {
        trace_.push_back(std::move(line));
    }
}

Board &board()
{
    static Board the_board;
    return the_board;
}

} // namespace velmo::sim
