// Register-type folding, address text parsing and bit-in-word normalisation.
#include <climits>
#include <map>
#include <tuple>

#include "test_support.h"

namespace plctest {
namespace {

class AddressTest : public DriverTest {};

TEST_F(AddressTest, BitInWordCodesFoldOntoTheirWordAreaAndCodesOutsideTheTableAreReported) {
    const std::map<int, int> folded{{20, 7}, {21, 12}, {22, 13}, {23, 14}};
    for (int code = -2; code <= 27; ++code) {
        const int c = code == -2 ? INT_MIN : code == 27 ? 40 : code;
        EXPECT_EQ(getPlcReg(c), folded.count(c) ? folded.at(c) : c) << c;
        EXPECT_EQ(takeMessages(),
                  c >= 0 && c <= 25 ? "" : "getPlcReg default " + std::to_string(c) + " ");
    }
}

TEST_F(AddressTest, AddressTextsParsePerTypeAndOnlyMinusOneIsAReportedFailure) {
    // code, text -> address; -1 comes with the diagnostic naming the code and the quoted text
    // clang-format off
    const std::tuple<int, const char*, int> rows[] = {
        {0, "17", 15}, {0, "18", -1}, {1, "0", 0}, {1, "777", 511}, {1, "8", -1},  // octal
        {2, "0100", 100}, {5, "-1", -1}, {5, "-5", -5}, {7, "", -1}, {7, "abc", -1}, {7, "12a", -1},
        {7, "0x10", -1}, {13, "2147483647", INT_MAX}, {13, "2147483648", -1}, {19, "65535", 65535},
        {24, "3", 3}, {25, "43000", 43000},
        // word.bit, each decimal, the bit not limited to 0..15, a part that does not convert is 0
        {20, "100.3", 1603}, {20, "100.", 1600}, {20, ".7", 7}, {20, "5.20", 100}, {20, "6.4", 100},
        {20, "D100.3", 3}, {20, "12.3.4", -1}, {20, "12", -1}, {20, "", -1}, {21, "0.-1", -1},
        {22, "4.15", 79}, {23, "-1.15", -1}, {23, "-2.0", -32},
        // word * 16 + bit must fit into 32 bits, never wrap
        {20, "200000000.0", -1}, {20, "2147483647.15", -1}, {20, "134217728.0", -1},
        {20, "-134217729.0", -1}, {20, "134217727.15", INT_MAX}, {21, "-134217728.0", INT_MIN},
        {26, "1", -1}, {-1, "1", -1},
    };
    // clang-format on
    for (const auto& [code, text, want] : rows) {
        const std::string diag = format("StringAddressToInt error %d \"%s\" ", code, text);
        for (auto parse : {StringAddressToInt, PLCAddressChangeIntef}) {
            EXPECT_EQ(parse(code, QString::fromLatin1(text)), want) << code << " " << text;
            EXPECT_EQ(takeMessages(), want == -1 ? diag : "");
        }
    }
}

TEST_F(AddressTest, BitInWordVariablesBecomeWordRequestsCoveringEveryTouchedWord) {
    // code, addr, count -> code, addr, count, result
    const int hugeWords = int((15LL + INT_MAX + 15) / 16);
    // clang-format off
    const std::tuple<int, int, int, int, int, int, int> rows[] = {
        {21, 35, 16, 12, 2, 2, 0},  // bits 3..18: words 2 and 3
        {20, 32, 16, 7, 2, 1, 0}, {23, 15, 1, 14, 0, 1, 0}, {22, 16, 17, 13, 1, 2, 0}, {20, 17, 31, 7, 1, 2, 0}, {22, 0, 0, 13, 0, 0, 0},
        {20, INT_MAX, INT_MAX, 7, INT_MAX / 16, hugeWords, 0},  // no overflow
        {9, 5, 3, 9, 5, 3, 0}, {0, 100, 9, 0, 100, 9, 0}, {25, 7, 1, 25, 7, 1, 0},  // unchanged
        {30, 7, 2, 30, 7, 2, 1}, {-1, 0, 1, -1, 0, 1, 1},  // refused with a diagnostic
    };
    // clang-format on
    for (const auto& [code, addr, count, wantCode, wantAddr, wantCount, result] : rows) {
        RW_VAR v{4, 0, 0, 0, 0, 0, "n", "t", code, addr, 1, count, 0, 0, hex("01 02")};
        EXPECT_EQ(updateRwVar(&v), result) << code << "/" << addr << "/" << count;
        EXPECT_EQ(recordText(v),  // nothing else changes
                  format("4 0 0 0 0 0 n t %d %d 1 %d 0 0 0102", wantCode, wantAddr, wantCount));
        EXPECT_EQ(takeMessages(),
                  result == 0 ? "" : format("updateRwVar %d %d %d ", code, addr, count));
    }
}

}  // namespace
}  // namespace plctest
