// Register-type folding, address text parsing and bit-in-word normalisation.
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

class AddressTest : public DriverTest {
protected:
    // The diagnostics of one call: empty, or exactly one line.
    void expectDiagnostic(const char* expected) {
        if (expected == nullptr) {
            EXPECT_TRUE(rec.messages.isEmpty()) << rec.messages.join("|").toStdString();
        } else {
            EXPECT_EQ(rec.messages, QStringList{QString::fromLatin1(expected)});
        }
        rec.messages.clear();
    }
};

TEST_F(AddressTest, BitInWordCodesFoldOntoTheirWordAreaAndOtherTableCodesStayThemselves) {
    const QMap<int, int> folded{{20, 7}, {21, 12}, {22, 13}, {23, 14}};
    for (int code = 0; code <= 25; ++code) {
        SCOPED_TRACE(code);
        EXPECT_EQ(getPlcReg(code), folded.value(code, code));
        expectDiagnostic(nullptr);
    }
}

TEST_F(AddressTest, CodesOutsideTheTableComeBackUnchangedWithADiagnostic) {
    struct Row {
        int code;
        const char* diag;
    } rows[] = {
        {26, "getPlcReg default 26 "},
        {40, "getPlcReg default 40 "},
        {-1, "getPlcReg default -1 "},
        {INT_MIN, "getPlcReg default -2147483648 "},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(getPlcReg(r.code), r.code);
        expectDiagnostic(r.diag);
    }
}

struct ParseRow {
    int code;
    const char* text;
    int expected;
    const char* diag;  // nullptr: no diagnostic
};

const ParseRow kParseRows[] = {
    // Octal codes 0 and 1.
    {0, "17", 15, nullptr},
    {0, "18", -1, "StringAddressToInt error 0 \"18\" "},
    {1, "0", 0, nullptr},
    {1, "777", 511, nullptr},
    {1, "8", -1, "StringAddressToInt error 1 \"8\" "},
    // Decimal codes; leading zeros are no octal marker here.
    {2, "0100", 100, nullptr},
    {5, "-1", -1, "StringAddressToInt error 5 \"-1\" "},
    {5, "-5", -5, nullptr},
    {7, "", -1, "StringAddressToInt error 7 \"\" "},
    {7, "abc", -1, "StringAddressToInt error 7 \"abc\" "},
    {7, "12a", -1, "StringAddressToInt error 7 \"12a\" "},
    {7, "0x10", -1, "StringAddressToInt error 7 \"0x10\" "},
    {13, "2147483647", 2147483647, nullptr},
    {13, "2147483648", -1, "StringAddressToInt error 13 \"2147483648\" "},
    {19, "65535", 65535, nullptr},
    {24, "3", 3, nullptr},
    {25, "43000", 43000, nullptr},
    // Bit-in-word codes: word.bit, each decimal, bit not limited to 0..15.
    {20, "100.3", 1603, nullptr},
    {20, "100.", 1600, nullptr},
    {20, ".7", 7, nullptr},
    {20, "5.20", 100, nullptr},
    {20, "6.4", 100, nullptr},
    {20, "D100.3", 3, nullptr},
    {20, "12.3.4", -1, "StringAddressToInt error 20 \"12.3.4\" "},
    {20, "12", -1, "StringAddressToInt error 20 \"12\" "},
    {20, "", -1, "StringAddressToInt error 20 \"\" "},
    {21, "0.-1", -1, "StringAddressToInt error 21 \"0.-1\" "},
    {22, "4.15", 79, nullptr},
    {23, "-1.15", -1, "StringAddressToInt error 23 \"-1.15\" "},
    {23, "-2.0", -32, nullptr},
    // Codes outside the table never parse.
    {26, "1", -1, "StringAddressToInt error 26 \"1\" "},
    {-1, "1", -1, "StringAddressToInt error -1 \"1\" "},
};

TEST_F(AddressTest, AddressTextsParsePerRegisterTypeAndFailuresNameCodeAndText) {
    for (const ParseRow& r : kParseRows) {
        SCOPED_TRACE(testing::Message() << r.code << " '" << r.text << "'");
        EXPECT_EQ(StringAddressToInt(r.code, QString::fromLatin1(r.text)), r.expected);
        expectDiagnostic(r.diag);
        // The host's converter answers exactly like the parser.
        EXPECT_EQ(PLCAddressChangeIntef(r.code, QString::fromLatin1(r.text)), r.expected);
        expectDiagnostic(r.diag);
    }
}

TEST_F(AddressTest, WordNumbersTooLargeForABitAddressAreRefusedWithoutOverflow) {
    // word * 16 + bit does not fit into 32 bits: refused like any other
    // unusable text, never a wrapped value that looks like an address.
    for (const char* text : {"200000000.0", "2147483647.15", "134217728.0", "-134217729.0"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(StringAddressToInt(20, QString::fromLatin1(text)), -1);
        EXPECT_EQ(rec.messages,
                  QStringList{QStringLiteral("StringAddressToInt error 20 \"%1\" ").arg(text)});
        rec.messages.clear();
    }
    // The largest word that still fits is accepted.
    EXPECT_EQ(StringAddressToInt(20, QStringLiteral("134217727.15")), INT_MAX);
    EXPECT_EQ(StringAddressToInt(21, QStringLiteral("-134217728.0")), INT_MIN);
    EXPECT_TRUE(rec.messages.isEmpty());
}

struct NormaliseRow {
    int code, addr, count;
    int wantCode, wantAddr, wantCount, wantResult;
    const char* diag;
};

TEST_F(AddressTest, BitInWordVariablesBecomeWordRequestsCoveringEveryTouchedWord) {
    const NormaliseRow rows[] = {
        {21, 35, 16, 12, 2, 2, 0, nullptr},  // bits 3..18 of word 2 and 3
        {20, 32, 16, 7, 2, 1, 0, nullptr},   // exactly word 2
        {23, 15, 1, 14, 0, 1, 0, nullptr},   // last bit of word 0
        {22, 16, 17, 13, 1, 2, 0, nullptr},  // one bit into the next word
        {20, 17, 31, 7, 1, 2, 0, nullptr},
        {22, 0, 0, 13, 0, 0, 0, nullptr},  // no bits touch no word
        {9, 5, 3, 9, 5, 3, 0, nullptr},    // word areas stay as they are
        {0, 100, 9, 0, 100, 9, 0, nullptr},
        {25, 7, 1, 25, 7, 1, 0, nullptr},
        {30, 7, 2, 30, 7, 2, 1, "updateRwVar 30 7 2 "},
        {-1, 0, 1, -1, 0, 1, 1, "updateRwVar -1 0 1 "},
    };
    for (const NormaliseRow& r : rows) {
        SCOPED_TRACE(testing::Message() << r.code << "/" << r.addr << "/" << r.count);
        RW_VAR v = var(r.code, r.addr, r.count);
        v.kind = 4;
        v.name = QStringLiteral("n");
        v.value = hex("01 02");
        EXPECT_EQ(updateRwVar(&v), r.wantResult);
        EXPECT_EQ(v.regType, r.wantCode);
        EXPECT_EQ(v.addr, r.wantAddr);
        EXPECT_EQ(v.count, r.wantCount);
        // Only the three normalised fields may change.
        EXPECT_EQ(v.kind, 4);
        EXPECT_EQ(v.station, 1);
        EXPECT_EQ(v.name, QStringLiteral("n"));
        EXPECT_EQ(v.value, hex("01 02"));
        expectDiagnostic(r.diag);
    }
}

TEST_F(AddressTest, NormalisingAHugeBitRunDoesNotOverflow) {
    RW_VAR v = var(20, INT_MAX, INT_MAX);
    EXPECT_EQ(updateRwVar(&v), 0);
    EXPECT_EQ(v.regType, 7);
    EXPECT_EQ(v.addr, INT_MAX / 16);
    // (15 + INT_MAX + 15) / 16 words, computed without wrapping.
    EXPECT_EQ(v.count, static_cast<int>((15LL + INT_MAX + 15) / 16));
}

}  // namespace
}  // namespace plctest
