// The controller's register-type codes 0..25: one table that every part of
// the driver, and the host tool, reads. Header-only and constexpr, so the
// tool can use it without linking the driver.
//
// Units: bit areas count single bits, word areas 16-bit registers. Bit-in-word
// codes (20..23) name bit b of register n of their word area as the bit
// number n * 16 + b; before a frame is built they are folded onto that area.
#ifndef PLC_REGISTER_TYPES_H
#define PLC_REGISTER_TYPES_H

#include <cstdint>

namespace plc {

enum class AreaKind : uint8_t { Bits, Words, BitInWord };

// Modbus RTU function codes of the local framing.
enum ModbusFunction : uint8_t {
    kNoFunction = 0,
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHoldingRegisters = 3,
    kReadInputRegisters = 4,
    kWriteSingleCoil = 5,
    kWriteSingleRegister = 6,
    kWriteMultipleRegisters = 16,
};

// Number base of an address text; kWordDotBit is "word.bit", both decimal.
enum TextBase : uint8_t { kWordDotBit = 0, kOctal = 8, kDecimal = 10 };

struct RegisterType {
    AreaKind kind;
    // The area the code's units live in: the code itself, or for a
    // bit-in-word code its word area (20 -> 7, 21 -> 12, 22 -> 13, 23 -> 14).
    int8_t folded;
    // Modbus address of the area's first unit in local frames; the frame
    // carries base + addr, cut to 16 bits. -1: no area of its own.
    int32_t areaBase;
    // Function of a local read of the code; kNoFunction: the read builder
    // refuses it (bit-in-word codes are read through their folded code).
    ModbusFunction readFunction;
    // Function of a local write: a coil write, or for words a single-register
    // write (kWriteMultipleRegisters when more than one). For bit-in-word
    // codes, the write half of the read-modify-write pair. kNoFunction: the
    // local framing cannot write the code.
    ModbusFunction writeFunction;
    TextBase textBase;
    // The host's write operation accepts the code (it queues and mirrors it);
    // the read-only areas 0, 13, 17, 18 and 19 are refused there.
    bool hostWritable;
};

// clang-format off
inline constexpr RegisterType kRegisterTypes[26] = {
    // kind                folded base   read                    write                    text      host
    {AreaKind::Bits,       0,     0,     kReadDiscreteInputs,    kNoFunction,             kOctal,   false},  // 0
    {AreaKind::Bits,       1,     1024,  kReadCoils,             kWriteSingleCoil,        kOctal,   true},   // 1
    {AreaKind::Bits,       2,     3072,  kReadCoils,             kWriteSingleCoil,        kDecimal, true},   // 2
    {AreaKind::Bits,       3,     11520, kReadCoils,             kWriteSingleCoil,        kDecimal, true},   // 3
    {AreaKind::Bits,       4,     11264, kReadCoils,             kWriteSingleCoil,        kDecimal, true},   // 4
    {AreaKind::Bits,       5,     11776, kReadCoils,             kWriteSingleCoil,        kDecimal, true},   // 5
    {AreaKind::Bits,       6,     0,     kReadCoils,             kWriteSingleCoil,        kDecimal, true},   // 6
    {AreaKind::Words,      7,     11736, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 7
    {AreaKind::Words,      8,     19928, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 8
    {AreaKind::Words,      9,     19936, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 9
    {AreaKind::Words,      10,    19944, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 10
    {AreaKind::Words,      11,    20200, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 11
    {AreaKind::Words,      12,    1736,  kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 12
    {AreaKind::Words,      13,    0,     kReadInputRegisters,    kNoFunction,             kDecimal, false},  // 13
    {AreaKind::Words,      14,    0,     kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 14
    {AreaKind::Words,      15,    512,   kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 15
    {AreaKind::Words,      16,    1536,  kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 16
    {AreaKind::Words,      17,    1024,  kReadInputRegisters,    kNoFunction,             kDecimal, false},  // 17
    {AreaKind::Words,      18,    1088,  kReadInputRegisters,    kNoFunction,             kDecimal, false},  // 18
    {AreaKind::Words,      19,    1600,  kReadInputRegisters,    kNoFunction,             kDecimal, false},  // 19
    {AreaKind::BitInWord,  7,     -1,    kNoFunction,            kWriteSingleRegister,    kWordDotBit, true}, // 20
    {AreaKind::BitInWord,  12,    -1,    kNoFunction,            kWriteSingleRegister,    kWordDotBit, true}, // 21
    {AreaKind::BitInWord,  13,    -1,    kNoFunction,            kNoFunction,             kWordDotBit, true}, // 22
    {AreaKind::BitInWord,  14,    -1,    kNoFunction,            kWriteSingleRegister,    kWordDotBit, true}, // 23
    {AreaKind::Words,      24,    20512, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 24
    {AreaKind::Words,      25,    22560, kReadHoldingRegisters,  kWriteSingleRegister,    kDecimal, true},   // 25
};
// clang-format on

constexpr int kRegisterTypeCount = 26;

// The table row of a code, or null for codes outside 0..25.
constexpr const RegisterType* registerType(int code) {
    return code >= 0 && code < kRegisterTypeCount ? &kRegisterTypes[code] : nullptr;
}

constexpr bool isBitArea(int code) {
    return registerType(code) && registerType(code)->kind == AreaKind::Bits;
}
constexpr bool isWordArea(int code) {
    return registerType(code) && registerType(code)->kind == AreaKind::Words;
}
constexpr bool isBitInWord(int code) {
    return registerType(code) && registerType(code)->kind == AreaKind::BitInWord;
}

// The image area a code's units live in, which is also the code a
// bit-in-word variable is read through: its folded code. Codes outside the
// table stand for themselves.
constexpr int areaCode(int code) { return registerType(code) ? registerType(code)->folded : code; }

// The local framing has a write for the code (for bit-in-word codes: the
// write half of the read-modify-write pair).
constexpr bool hasLocalWrite(int code) {
    return registerType(code) && registerType(code)->writeFunction != kNoFunction;
}

// The host's write operation accepts the code.
constexpr bool isHostWritable(int code) {
    return registerType(code) && registerType(code)->hostWritable;
}

static_assert(kRegisterTypes[20].folded == 7 && kRegisterTypes[21].folded == 12 &&
                  kRegisterTypes[22].folded == 13 && kRegisterTypes[23].folded == 14,
              "bit-in-word codes fold onto their word areas");

}  // namespace plc

#endif  // PLC_REGISTER_TYPES_H
