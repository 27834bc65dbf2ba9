// The simulated controller's memory layout: where every register-type code of
// the driver lives in the controller's four Modbus tables.
//
// This is written independently of the driver's own table so that a mistake
// in either shows up as a mismatch in the integration tests.
#ifndef PLCSIM_ADDRESS_MAP_H
#define PLCSIM_ADDRESS_MAP_H

#include <cstdint>

namespace plcsim {

// The four object classes of a Modbus server.
enum class Table { DiscreteInputs, Coils, HoldingRegisters, InputRegisters };

// Size of every table of the simulated controller: the whole 16-bit address
// space, so no frame the driver can build falls outside it.
constexpr int kTableSize = 65536;

// True for the bit areas 0..6 (addresses number single bits).
bool isBitType(int type);
// True for the bit-in-word codes 20..23.
bool isBitInWordType(int type);
// True for the word areas 7..19, 24, 25.
bool isWordType(int type);
// The word area a bit-in-word code lives in (20->7, 21->12, 22->13, 23->14);
// every other code is returned unchanged.
int foldedType(int type);

// Start of a register-type code's area in its Modbus table, or -1 for codes
// that have no area of their own (20..23 and anything outside 0..25).
int areaBase(int type);

// The table the controller keeps a code in (bit-in-word codes: the table of
// their word area). False for codes outside 0..25.
bool tableOf(int type, Table* table);

// Whether the controller accepts writes to a code's area (coils and holding
// registers, bit-in-word codes on holding registers).
bool isWritableType(int type);

const char* tableName(Table table);

}  // namespace plcsim

#endif  // PLCSIM_ADDRESS_MAP_H
