// Register-type folding and address text parsing. (Bit-in-word ranges become
// word requests in the once-read model of the sequence fuzzer and end to end
// against the simulator.)
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
        {0, "17", 15}, {1, "0", 0}, {1, "777", 511}, {1, "8", -1},  // octal
        {2, "0100", 100}, {7, "abc", -1}, {13, "2147483647", INT_MAX}, {19, "65535", 65535},
        {24, "3", 3}, {25, "43000", 43000},
        // word.bit, each decimal, the bit not limited to 0..15, a part that does not convert is 0
        {20, "100.3", 1603}, {20, "100.", 1600}, {20, ".7", 7}, {20, "5.20", 100}, {20, "6.4", 100},
        {20, "D100.3", 3}, {20, "", -1}, {21, "0.-1", -1}, {22, "4.15", 79}, {23, "-1.15", -1},
        {23, "-2.0", -32},
        // word * 16 + bit must fit into 32 bits, never wrap (more in hostile_input_test.cpp)
        {20, "200000000.0", -1}, {20, "2147483647.15", -1}, {20, "-134217729.0", -1},
        {20, "134217727.15", INT_MAX}, {21, "-134217728.0", INT_MIN},
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

}  // namespace
}  // namespace plctest
