#include "board.h"

#include "format.h"

#include <cstdio>
#include <stdexcept>

namespace velmo::sim {

namespace {

std::string bank_text(int n, const Bank &b)
{
    return format("bank%d direction=0x%02x latch=0x%02x outside=0x%02x", n, b.direction, b.latch, b.outside);
}

// "bankN direction=0xNN latch=0xNN outside=0xNN", exactly as written.
bool parse_bank(const std::string &line, int n, Bank &out)
{
    unsigned d = 0, l = 0, o = 0;
    if (line.size() != 44 ||
        std::sscanf(line.c_str(), "bank%*1[12] direction=0x%2x latch=0x%2x outside=0x%2x", &d, &l, &o) != 3) {
        return false;
    }
    out = Bank{static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(l), static_cast<std::uint8_t>(o)};
    return line == bank_text(n, out);
}

} // namespace

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

bool Board::is_register(std::uint16_t port) const
{
    bool is_data = false;
    return bank_of(port, is_data) != 0;
}

std::uint8_t Board::read(std::uint16_t port) const
{
    bool is_data = false;
    const int n = bank_of(port, is_data);
    if (n == 0) {
        return 0xFF;
    }
    return is_data ? bank(n).data() : bank(n).direction;
}

void Board::write(std::uint16_t port, std::uint8_t value)
{
    bool is_data = false;
    const int n = bank_of(port, is_data);
    if (n != 0) {
        (is_data ? bank(n).latch : bank(n).direction) = value;
    }
}

Line Board::line(int n) const
{
    if (n < 1 || n > 8) {
        throw std::out_of_range("line must be 1 to 8");
    }
    const Bank &b = bank(n <= 4 ? 1 : 2);
    const int bit = kLineBit[n - 1];
    return Line{((b.direction >> bit) & 1) != 0, (b.data() >> bit) & 1, (b.latch >> bit) & 1, (b.outside >> bit) & 1};
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

std::string Pins::show() const
{
    std::string text = "board:";
    for (int n = 1; n <= 8; ++n) {
        text += format(" %d:%s=%d", n, (inputs >> (n - 1) & 1) != 0 ? "in" : "out", levels >> (n - 1) & 1);
    }
    return text;
}

Pins Board::pins() const
{
    Pins pins{0, 0};
    for (int n = 1; n <= 8; ++n) {
        const Line l = line(n);
        pins.inputs = static_cast<std::uint8_t>(pins.inputs | (l.input ? 1u : 0u) << (n - 1));
        pins.levels = static_cast<std::uint8_t>(pins.levels | static_cast<unsigned>(l.level) << (n - 1));
    }
    return pins;
}

std::string Board::show() const
{
    return pins().show();
}

std::string Board::text() const
{
    return format("velmo-board 2\nbase=0x%04x\n", base_) + bank_text(1, banks_[0]) + "\n" + bank_text(2, banks_[1]) +
           "\n";
}

bool Board::parse(const std::string &text, std::string &why)
{
    // Line by line, each exactly as text() writes it; anything else is
    // damage, and the first line tells a board file from any other.
    if (text.empty()) {
        why = "empty file";
        return false;
    }
    std::size_t at = 0;
    std::size_t number = 0;
    std::string line;
    auto next = [&]() {
        ++number;
        if (at == text.size()) {
            why = format("line %zu is missing", number);
            return false;
        }
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            why = format("line %zu is unterminated", number);
            return false;
        }
        line = text.substr(at, end - at);
        at = end + 1;
        return true;
    };
    const std::size_t first = text.find('\n');
    const std::string head = text.substr(0, first);
    if (head != "velmo-board 1" && head != "velmo-board 2") {
        why = "not a board file (line 1 is not 'velmo-board 2')";
        return false;
    }
    next();
    unsigned base = kDefaultBase;
    if (head == "velmo-board 2") { // version 1 had no base line
        if (!next()) {
            return false;
        }
        if (std::sscanf(line.c_str(), "base=0x%4x", &base) != 1 || line != format("base=0x%04x", base)) {
            why = format("line %zu is not 'base=0xNNNN'", number);
            return false;
        }
    }
    Bank loaded[2];
    for (int n = 1; n <= 2; ++n) {
        if (!next()) {
            return false;
        }
        if (!parse_bank(line, n, loaded[n - 1])) {
            why = format("line %zu is not 'bank%d direction=0xNN latch=0xNN outside=0xNN'", number, n);
            return false;
        }
    }
    if (at != text.size()) {
        why = format("unexpected text after line %zu", number);
        return false;
    }
    base_ = static_cast<std::uint16_t>(base);
    banks_[0] = loaded[0];
    banks_[1] = loaded[1];
    return true;
}

} // namespace velmo::sim
