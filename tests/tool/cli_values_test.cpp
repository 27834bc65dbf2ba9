// Strict value parsing: the whole text or nothing, never a silent wrap.
#include "cli_values.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace plc::cli;

struct IntegerRow {
    const char* name;
    const char* text;
    long long min, max;
    bool ok;
    long long value;      // when ok
    const char* message;  // part of the error when not ok
};

TEST(CliValues, IntegersTakeDecimalHexAndBinaryTextWholeAndRefuseEverythingElse) {
    const IntegerRow rows[] = {
        {"Decimal", "777", 0, 65535, true, 777, ""},
        {"LeadingZerosAreDecimal", "010", 0, 65535, true, 10, ""},
        {"Hex", "0x1F", 0, 65535, true, 31, ""},
        {"HexUpper", "0XAbC", 0, 65535, true, 0xABC, ""},
        {"Binary", "0b101", 0, 65535, true, 5, ""},
        {"Negative", "-5", -10, 10, true, -5, ""},
        {"PlusSign", "+7", 0, 10, true, 7, ""},
        {"AboveRange", "70000", 0, 65535, false, 0, "out of range 0..65535"},
        {"BelowRange", "-1", 0, 65535, false, 0, "out of range"},
        {"TooLargeForAnyType", "99999999999999999999", 0, 65535, false, 0, "out of range"},
        {"Empty", "", 0, 10, false, 0, "not an integer"},
        {"TrailingJunk", "12abc", 0, 100, false, 0, "not an integer"},
        {"Real", "1.5", 0, 10, false, 0, "not an integer"},
        {"Exponent", "1e3", 0, 10000, false, 0, "not an integer"},
        {"BareHexPrefix", "0x", 0, 10, false, 0, "not an integer"},
        {"SignedHex", "-0x5", -10, 10, false, 0, "not an integer"},
        {"InnerBlank", "1 2", 0, 100, false, 0, "not an integer"},
        {"OctalDigitInBinary", "0b102", 0, 100, false, 0, "not an integer"},
    };
    for (const IntegerRow& r : rows) {
        SCOPED_TRACE(r.name);
        long long v = -12345;
        std::string why;
        EXPECT_EQ(parseInteger(r.text, r.min, r.max, &v, &why), r.ok) << why;
        if (r.ok) {
            EXPECT_EQ(v, r.value);
        } else {
            EXPECT_NE(why.find(r.message), std::string::npos) << why;
            EXPECT_EQ(v, -12345) << "untouched on failure";
        }
    }
}

TEST(CliValues, EveryIntegerRoundTripsInEachNotationAndIsAcceptedExactlyInsideItsRange) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<long long> any(-200000, 200000);
    for (int i = 0; i < 2000; ++i) {
        const long long n = any(rng);
        const long long lo = -70000, hi = 70000;
        long long got = 0;
        EXPECT_EQ(parseInteger(std::to_string(n), lo, hi, &got, nullptr), n >= lo && n <= hi) << n;
        if (n >= lo && n <= hi) {
            EXPECT_EQ(got, n);
        }
        if (n < 0) continue;
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%llx", n);
        ASSERT_TRUE(parseInteger(hex, 0, 1LL << 40, &got, nullptr)) << hex;
        EXPECT_EQ(got, n);
    }
}

TEST(CliValues, RealsListsAndParityNames) {
    double d = 0;
    std::string why;
    EXPECT_TRUE(parseReal("1.5", 0, 2, &d, &why) && d == 1.5);
    EXPECT_TRUE(parseReal("1e-3", 0, 1, &d, &why) && d == 0.001);
    for (const char* bad : {"", "nan", "inf", "1.5s", "0x10", "1,5"})
        EXPECT_FALSE(parseReal(bad, -1e9, 1e9, &d, &why)) << bad;
    EXPECT_FALSE(parseReal("2.5", 0, 2, &d, &why));
    EXPECT_NE(why.find("out of range 0..2"), std::string::npos) << why;

    struct ListRow {
        const char* name;
        const char* text;
        std::vector<int> want;  // empty: refused
    };
    const ListRow lists[] = {
        {"One", "1", {1}},         {"Three", "1,2,5", {1, 2, 5}}, {"Repeat", "1,1", {}},
        {"EmptyItem", "1,,2", {}}, {"Trailing", "1,", {}},        {"OutOfRange", "1,248", {}},
        {"Blank", "", {}},
    };
    for (const ListRow& r : lists) {
        std::vector<int> got;
        EXPECT_EQ(parseIntList(r.text, 1, 247, &got, &why), !r.want.empty()) << r.name;
        if (!r.want.empty()) {
            EXPECT_EQ(got, r.want) << r.name;
        }
    }

    char p = 0;
    const std::pair<const char*, char> names[] = {{"none", 'N'}, {"even", 'E'}, {"odd", 'O'},
                                                  {"N", 'N'},    {"e", 'E'},    {"O", 'O'}};
    for (const auto& [text, code] : names) {
        EXPECT_TRUE(parseParity(text, &p, &why)) << text;
        EXPECT_EQ(p, code) << text;
    }
    for (const char* bad : {"", "Even", "mark", "x"})
        EXPECT_FALSE(parseParity(bad, &p, &why)) << bad;

    int baud = 0;
    EXPECT_TRUE(parseBaud("115200", &baud, &why) && baud == 115200);
    EXPECT_FALSE(parseBaud("1234", &baud, &why));
    EXPECT_NE(why.find("1200, 2400"), std::string::npos) << "lists what is supported: " << why;
}

}  // namespace
