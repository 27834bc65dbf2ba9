// Safe addressing, judged with the driver's own address parser: a target is
// refused, never wrapped, when the request would go anywhere but where it
// was named.
#include "targets.h"

#include <gtest/gtest.h>

#include "plc_driver.h"
#include "register_types.h"

namespace {

using namespace plchost;

const AddressParser kDriverParser = [](int type, const QString& text) {
    return ::PLCAddressChangeIntef(type, text);
};

struct TargetRow {
    const char* name;
    Target target;
    Access access;
    bool remote;
    const char* message;  // "" when accepted
};

TEST(Targets, RangesStationsAndAddressTextsAreCheckedAtTheirEdges) {
    const Access R = Access::Read, W = Access::Write;
    const TargetRow rows[] = {
        // Area 7 starts at Modbus address 11736: unit 53799 is 65535.
        {"LastUnitOfArea7", {1, 7, "53799", 1}, R, false, ""},
        {"OnePastArea7", {1, 7, "53800", 1}, R, false, "Modbus address 65536 is beyond 65535"},
        {"CountCrossesTheEnd", {1, 7, "53790", 11}, R, false, "beyond 65535"},
        {"FarBeyond", {1, 7, "70000", 1}, R, false, "Modbus address 81736"},
        {"BaseZeroArea14", {1, 14, "65535", 1}, W, false, ""},
        {"Area14TwoUnits", {1, 14, "65535", 2}, W, false, "beyond 65535"},
        // Bits inside words of area 7: word 53799 is the last one.
        {"LastBitOfLastWord", {1, 20, "53799.15", 1}, R, false, ""},
        {"BitRunIntoTheNextWord", {1, 20, "53799.15", 2}, R, false, "beyond 65535"},
        {"RemoteHasNoAreaBase", {1, 7, "65535", 1}, R, true, ""},
        {"RemoteUnitsStayIn16Bits", {1, 7, "65535", 2}, R, true, "unit 65536 is beyond 65535"},
        {"OctalText", {1, 0, "17", 8}, R, false, ""},
        {"NotOctal", {1, 1, "18", 1}, W, false, "octal digits"},
        {"SignedText", {1, 7, "-5", 1}, R, false, "decimal digits"},
        {"LetterPrefix", {1, 20, "D3.4", 1}, R, false, "word.bit expected"},
        {"BitSixteen", {1, 21, "5.16", 1}, R, false, "bit 16 of a 16-bit word"},
        {"WordOnly", {1, 23, "5", 1}, R, false, "word.bit expected"},
        {"TooLargeForTheParser", {1, 7, "99999999999", 1}, R, false, "refused by the driver"},
        {"ReadOfBroadcast", {0, 7, "0", 1}, R, false, "station 0 is the broadcast address"},
        {"WriteBroadcast", {0, 7, "0", 1}, W, false, ""},
        {"Station248", {248, 7, "0", 1}, W, false, "outside 0..247"},
        {"ReadOnlyArea", {1, 13, "0", 1}, W, false, "read-only"},
        {"BitInReadOnlyWord", {1, 22, "0.1", 1}, R, false, ""},
        {"CountZero", {1, 7, "0", 0}, R, false, "at least 1"},
        {"TypeOutsideTable", {1, 26, "0", 1}, R, false, "not a code 0..25"},
    };
    for (const TargetRow& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string why = targetError(r.target, r.access, r.remote, kDriverParser);
        if (*r.message == '\0') {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_NE(why.find(r.message), std::string::npos) << why;
        }
    }
}

// Whatever the check lets through reaches the wire without being cut to 16
// bits: area base plus the last unit (in words for bits inside words).
TEST(Targets, EveryAcceptedLocalTargetFitsSixteenBitsAndEveryRefusedOneWouldNot) {
    for (int type = 0; type < plc::kRegisterTypeCount; ++type) {
        const plc::RegisterType& t = plc::kRegisterTypes[type];
        const int base = plc::kRegisterTypes[t.folded].areaBase;
        for (int64_t p : {0, 1, 1000, 20000, 53799, 53800, 60000, 65535, 65536, 100000}) {
            for (int count : {1, 2, 17, 125}) {
                // For bits inside words p is a word, and the run starts at its bit 15.
                const bool bitsInWords = t.kind == plc::AreaKind::BitInWord;
                const int64_t first = bitsInWords ? p * 16 + 15 : p;
                const QString text = bitsInWords                 ? QString("%1.15").arg(p)
                                     : t.textBase == plc::kOctal ? QString::number(first, 8)
                                                                 : QString::number(first);
                const int64_t last = bitsInWords ? (first + count - 1) / 16 : first + count - 1;
                const std::string why =
                    targetError({1, type, text, count}, Access::Read, false, kDriverParser);
                EXPECT_EQ(why.empty(), base + last <= 65535)
                    << "type " << type << " at " << p << " count " << count << ": " << why;
            }
        }
    }
}

TEST(Targets, WithMultiStationOffOnlyDefStationIsAccepted) {
    EXPECT_EQ(stationModeError(2, 1, 1), "");
    EXPECT_EQ(stationModeError(1, 0, 1), "");
    EXPECT_NE(stationModeError(2, 0, 1).find("would send it to station 1"), std::string::npos);
    EXPECT_NE(stationModeError(0, 0, 1), "") << "a broadcast would reach station 1 alone";
    // The engine's checks of variables and writes build on it: tests/integration.
}

}  // namespace
