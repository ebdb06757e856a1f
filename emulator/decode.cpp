#include "decode.h"

#include <cstdio>

namespace velmo::emu {

namespace {

constexpr std::size_t kMaxLength = 15; // the architecture's longest instruction

bool is_legacy_prefix(std::uint8_t b)
{
    switch (b) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E: // segment overrides
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67: // operand / address size
    case 0xF0:
    case 0xF2:
    case 0xF3: // lock, repne, rep
        return true;
    default: return false;
    }
}

bool is_rex(std::uint8_t b, bool long_mode)
{
    return long_mode && b >= 0x40 && b <= 0x4F;
}

// Name of a port opcode with the operand size its prefixes give it.
const char *port_mnemonic(std::uint8_t opcode, bool wide16)
{
    switch (opcode) {
    case 0xE4: return "in al,imm8";
    case 0xE5: return wide16 ? "in ax,imm8" : "in eax,imm8";
    case 0xE6: return "out imm8,al";
    case 0xE7: return wide16 ? "out imm8,ax" : "out imm8,eax";
    case 0xEC: return "in al,dx";
    case 0xED: return wide16 ? "in ax,dx" : "in eax,dx";
    case 0xEE: return "out dx,al";
    case 0xEF: return wide16 ? "out dx,ax" : "out dx,eax";
    case 0x6C: return "insb";
    case 0x6D: return wide16 ? "insw" : "insd";
    case 0x6E: return "outsb";
    case 0x6F: return wide16 ? "outsw" : "outsd";
    default: return nullptr;
    }
}

} // namespace

Decoded decode(const std::uint8_t *code, std::size_t size, bool long_mode)
{
    Decoded d;
    if (size > kMaxLength) {
        size = kMaxLength;
    }
    std::size_t i = 0;
    bool wide16 = false;
    bool rep = false;
    while (i < size && (is_legacy_prefix(code[i]) || is_rex(code[i], long_mode))) {
        wide16 = wide16 || code[i] == 0x66;
        rep = rep || code[i] == 0xF3 || code[i] == 0xF2;
        ++i;
    }
    if (i >= size) {
        return d; // prefixes only, or nothing readable: not ours to judge
    }
    const std::uint8_t opcode = code[i];
    const char *name = port_mnemonic(opcode, wide16);
    if (name == nullptr) {
        return d;
    }
    const bool has_imm = opcode >= 0xE4 && opcode <= 0xE7;
    const std::size_t length = i + 1 + (has_imm ? 1 : 0);
    if (length > size) {
        return d; // the immediate could not be read
    }
    d.text = std::string(rep && (opcode & 0xF0) == 0x60 ? "rep " : "") + name;
    d.length = length;
    if (i != 0) {
        d.op = PortOp::Unsupported; // a prefixed form, even a harmless one
        // Unless every prefix shows in the name (66 on a wide form, rep on
        // a string form), say that there are prefixes.
        const bool byte_form = (opcode & 1) == 0;
        const bool string_form = (opcode & 0xF0) == 0x60;
        for (std::size_t k = 0; k < i; ++k) {
            const bool shown = (code[k] == 0x66 && !byte_form) || ((code[k] == 0xF3 || code[k] == 0xF2) && string_form);
            if (!shown) {
                d.text = "prefixed " + d.text;
                break;
            }
        }
        return d;
    }
    switch (opcode) {
    case 0xEC: d.op = PortOp::InAlDx; break;
    case 0xEE: d.op = PortOp::OutDxAl; break;
    case 0xE4:
        d.op = PortOp::InAlImm;
        d.port = code[1];
        break;
    case 0xE6:
        d.op = PortOp::OutImmAl;
        d.port = code[1];
        break;
    default: d.op = PortOp::Unsupported; break;
    }
    return d;
}

std::string hex_bytes(const std::uint8_t *code, std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", code[i]);
        if (i != 0) {
            text += ' ';
        }
        text += byte;
    }
    return text;
}

} // namespace velmo::emu
