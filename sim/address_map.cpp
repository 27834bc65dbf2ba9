#include "address_map.h"

namespace plcsim {

bool isBitType(int type) { return type >= 0 && type <= 6; }

bool isBitInWordType(int type) { return type >= 20 && type <= 23; }

bool isWordType(int type) { return (type >= 7 && type <= 19) || type == 24 || type == 25; }

int foldedType(int type) {
    switch (type) {
        case 20:
            return 7;
        case 21:
            return 12;
        case 22:
            return 13;
        case 23:
            return 14;
        default:
            return type;
    }
}

int areaBase(int type) {
    // Start of each area in the controller's flat Modbus address space.
    static const int kBase[26] = {
        0x0000,  // 0  inputs (discrete inputs)
        0x0400,  // 1  outputs (coils)
        0x0C00,  // 2
        0x2D00,  // 3
        0x2C00,  // 4
        0x2E00,  // 5
        0x0000,  // 6
        0x2DD8,  // 7
        0x4DD8,  // 8
        0x4DE0,  // 9
        0x4DE8,  // 10
        0x4EE8,  // 11
        0x06C8,  // 12
        0x0000,  // 13 (input registers)
        0x0000,  // 14
        0x0200,  // 15
        0x0600,  // 16
        0x0400,  // 17 (input registers)
        0x0440,  // 18 (input registers)
        0x0640,  // 19 (input registers)
        -1,      // 20..23: bits inside word registers, no area of their own
        -1,     -1, -1,
        0x5020,  // 24
        0x5820,  // 25
    };
    if (type < 0 || type > 25) return -1;
    return kBase[type];
}

bool tableOf(int type, Table* table) {
    const int t = foldedType(type);
    if (t < 0 || t > 25) return false;
    if (t == 0) {
        *table = Table::DiscreteInputs;
    } else if (t <= 6) {
        *table = Table::Coils;
    } else if (t == 13 || t == 17 || t == 18 || t == 19) {
        *table = Table::InputRegisters;
    } else {
        *table = Table::HoldingRegisters;
    }
    return true;
}

bool isWritableType(int type) {
    Table t;
    if (!tableOf(type, &t)) return false;
    return t == Table::Coils || t == Table::HoldingRegisters;
}

const char* tableName(Table table) {
    switch (table) {
        case Table::DiscreteInputs:
            return "discrete inputs";
        case Table::Coils:
            return "coils";
        case Table::HoldingRegisters:
            return "holding registers";
        case Table::InputRegisters:
            return "input registers";
    }
    return "?";
}

}  // namespace plcsim
