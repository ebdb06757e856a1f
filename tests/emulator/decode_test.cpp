// The port instruction decoder: which faulting instructions velmo-emu
// serves, which it refuses by name, and which are real faults.
#include "decode.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using velmo::emu::decode;
using velmo::emu::Decoded;
using velmo::emu::PortOp;

Decoded run(std::vector<std::uint8_t> bytes, bool long_mode = true)
{
    return decode(bytes.data(), bytes.size(), long_mode);
}

TEST(Decode, ServesTheFourByteForms)
{
    Decoded d = run({0xEC, 0x90});
    EXPECT_EQ(d.op, PortOp::InAlDx);
    EXPECT_EQ(d.length, 1u);
    EXPECT_EQ(d.text, "in al,dx");

    d = run({0xEE});
    EXPECT_EQ(d.op, PortOp::OutDxAl);
    EXPECT_EQ(d.length, 1u);

    d = run({0xE4, 0x0F, 0xC3});
    EXPECT_EQ(d.op, PortOp::InAlImm);
    EXPECT_EQ(d.length, 2u);
    EXPECT_EQ(d.port, 0x0F);

    d = run({0xE6, 0x38}, false);
    EXPECT_EQ(d.op, PortOp::OutImmAl);
    EXPECT_EQ(d.length, 2u);
    EXPECT_EQ(d.port, 0x38);
}

TEST(Decode, NamesEveryOtherPortForm)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char *text;
        std::size_t length;
    };
    const Case cases[] = {
        {{0xED}, "in eax,dx", 1},
        {{0x66, 0xED}, "in ax,dx", 2},
        {{0xE5, 0x80}, "in eax,imm8", 2},
        {{0x66, 0xE7, 0x80}, "out imm8,ax", 3},
        {{0xEF}, "out dx,eax", 1},
        {{0x6C}, "insb", 1},
        {{0x66, 0x6D}, "insw", 2},
        {{0x6F}, "outsd", 1},
        {{0xF3, 0x6E}, "rep outsb", 2},
        {{0x3E, 0xEC}, "prefixed in al,dx", 2},
        {{0x66, 0xEE}, "prefixed out dx,al", 2},
        {{0xF3, 0xEC}, "prefixed in al,dx", 2},
        {{0x48, 0xED}, "prefixed in eax,dx", 2}, // REX.W in 64-bit code
    };
    for (const Case &c : cases) {
        const Decoded d = run(c.bytes);
        EXPECT_EQ(d.op, PortOp::Unsupported) << c.text;
        EXPECT_EQ(d.text, c.text);
        EXPECT_EQ(d.length, c.length) << c.text;
    }
}

TEST(Decode, RealFaultsAreNotPortInstructions)
{
    EXPECT_EQ(run({0x8B, 0x00}).op, PortOp::None); // mov eax,[rax]
    EXPECT_EQ(run({0xF4}).op, PortOp::None);       // hlt
    EXPECT_EQ(run({0xFA}).op, PortOp::None);       // cli
    EXPECT_EQ(run({0x66, 0x66}).op, PortOp::None); // prefixes up to the end of what was read
    EXPECT_EQ(run({}).op, PortOp::None);           // code that could not be read
    EXPECT_EQ(run({0xE4}).op, PortOp::None);       // the immediate could not be read
    // 0x48 is dec eax in 32-bit code, a whole instruction: what faulted is
    // not the in that follows it.
    EXPECT_EQ(run({0x48, 0xEC}, false).op, PortOp::None);
    EXPECT_EQ(run({0x48, 0xEC}, true).op, PortOp::Unsupported);
    // Never more than 15 bytes: 15 prefixes leave no room for an opcode.
    const std::vector<std::uint8_t> padded(15, 0x3E);
    std::vector<std::uint8_t> too_long = padded;
    too_long.push_back(0xEC);
    EXPECT_EQ(run(too_long).op, PortOp::None);
}

} // namespace
