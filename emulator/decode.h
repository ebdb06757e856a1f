// Recognises the x86 port instructions at a faulting program counter.
//
// Without access to a port, `in`/`out` raise a general protection fault
// (SIGSEGV). The emulator serves the four byte-wide forms that the library
// and the demo use; every other port form is named, so the run can stop with
// a clear message rather than guess.
#ifndef VELMO_EMU_DECODE_H
#define VELMO_EMU_DECODE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo::emu {

enum class PortOp {
    None,        // not a port instruction: a real fault
    InAlDx,      // EC     in al,dx
    InAlImm,     // E4 ib  in al,imm8
    OutDxAl,     // EE     out dx,al
    OutImmAl,    // E6 ib  out imm8,al
    Unsupported, // any other port form: wider operands, ins/outs, prefixes
};

struct Decoded {
    PortOp op = PortOp::None;
    std::size_t length = 0; // the instruction's length (0 for None)
    std::uint8_t port = 0;  // the imm8 port of InAlImm / OutImmAl
    std::string text;       // mnemonic, e.g. "in al,dx" or "rep outsb"
};

// Decodes the instruction whose bytes start at code[0]; size is how many
// bytes could be read there (at most 15 count). long_mode selects 64-bit
// decoding, where 0x40-0x4F are REX prefixes rather than inc/dec.
Decoded decode(const std::uint8_t *code, std::size_t size, bool long_mode);

// "ec" or "66 ed": the instruction's bytes, for messages.
std::string hex_bytes(const std::uint8_t *code, std::size_t size);

} // namespace velmo::emu

#endif
