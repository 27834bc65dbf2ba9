// What the driver does with bad input from its host, entry point by entry
// point: calls before set-up, null pointers, unusable address texts, counts
// and addresses that are negative or huge, bad block sizes, replies whose
// length argument lies, settings left at their limits. Every row ends without
// a crash or a hang, leaves the lists and the image as stated, and names the
// diagnostic it writes ("" for none).
#include <climits>

#include "test_support.h"

namespace plctest {
namespace {

struct Row {
    const char* name;
    std::function<int()> call;
    int result;
    const char* diagnostic;  // every message, joined by '|'
    // Afterwards: "reads/writes/once-reads image-bytes", then "=HEX" of the
    // last GetRegisterData output, if any.
    const char* state;
};

class HostileInput : public DriverTest {
protected:
    QByteArray out;
    bool gotOutput = false;

    int get(int type, const char* text, int count, bool nullOut = false) {
        QString t = QString::fromLatin1(text);
        gotOutput = !nullOut;
        out = hex("EE EE");
        return GetRegisterData(nullptr, type, t, 1, nullOut ? nullptr : &out, count);
    }
    static int set(int type, const char* text, const char* values, int count, int station = 1) {
        QString name = QString::fromLatin1("op"), t = QString::fromLatin1(text);
        QByteArray v = hex(values);
        return SetRegisterData(name, type, t, station, v, count, 3, 4);
    }
    int once(int type, const char* text, int count, int station = 1) const {
        RW_VAR v = var(type, 0, count, station);
        v.addrText = QString::fromLatin1(text);
        return AddListOnceReadVar(&v, 0);
    }
    static int rebuild(int type, const char* text, int count) {
        QList<VARDESC> descs;
        descs << VARDESC{0, uint8_t(type), 1, 0, 0, QString::fromLatin1(text), QString(), count};
        return ReCreatReadVarList(&descs);
    }
    static int parse(int type, const char* text) {
        return PLCAddressChangeIntef(type, QString::fromLatin1(text));
    }
    // One polling turn with the reply `bytes` and the length argument `len`.
    static int reply(const char* bytes, int len, bool null = false) {
        if (!ComCommunication()) return -1;
        QByteArray r = hex(bytes);
        return DataCom(null ? nullptr : &r, len)->status;
    }
    std::string state() const {
        const Communication_Protocol& d = PLC_driver;
        long long bytes = 0;
        for (const auto& station : DataStorage)
            for (const QByteArray& area : station) bytes += area.size();
        std::string s = std::to_string(d.readList.size()) + "/" +
                        std::to_string(d.writeList.size()) + "/" +
                        std::to_string(d.onceReadList.size()) + " " + std::to_string(bytes);
        return gotOutput ? s + "=" + out.toHex().toUpper().constData() : s;
    }
};

TEST_F(HostileInput, EveryEntryPointSurvivesBadInputAndSaysWhatItDid) {
    Communication_Protocol& d = PLC_driver;
    // clang-format off
    const Row rows[] = {
        // Before SetComInfo nothing is polled and nothing needing the block is registered.
        {"ComCommunication/before SetComInfo", [&] { SetComInfo(nullptr); d.writeList << var(7, 0, 1); return ComCommunication() != nullptr; }, 0, "", "0/1/0 0"},
        {"DataCom/before SetComInfo", [&] { SetComInfo(nullptr); QByteArray r = hex("01 03"); return DataCom(&r, 2)->status; }, 1, "", "0/0/0 0"},
        {"AddListOnceReadVar/before SetComInfo", [&] { SetComInfo(nullptr); return once(7, "0", 1); }, 0, "", "0/0/0 0"},
        {"SetRegisterData/before SetComInfo", [&] { SetComInfo(nullptr); return set(7, "0", "12 34", 1); }, 0, "", "0/0/0 0"},
        {"GetRegisterData/before SetComInfo", [&] { SetComInfo(nullptr); return get(7, "0", 1); }, 0, "", "0/0/0 0="},
        {"ReCreatReadVarList/before SetComInfo", [&] { SetComInfo(nullptr); return rebuild(7, "0", 1); }, 0, "", "0/0/0 0"},
        // Null pointers.
        {"AddListReadVar/null record", [&] { return AddListReadVar(nullptr); }, 0, "", "0/0/0 0"},
        {"AddListWriteVar/null record", [&] { d.writeList << var(7, 0, 1); return AddListWriteVar(nullptr, 0); }, 1, "", "0/1/0 0"},
        {"AddListOnceReadVar/null record", [&] { return AddListOnceReadVar(nullptr, 0); }, 0, "", "0/0/0 0"},
        {"ReCreatReadVarList/null list empties the read list", [&] { d.readList << var(7, 0, 1); return ReCreatReadVarList(nullptr); }, 0, "", "0/0/0 0"},
        {"GetRegisterData/null output", [&] { return get(7, "0", 4, true); }, 0, "", "0/0/0 0"},
        {"DataCom/null reply is no reply", [&] { d.readList << var(7, 0, 1); return reply("", 0, true); }, 41, "", "1/0/0 0"},
        {"DataCom/null reply with a length", [&] { d.readList << var(7, 0, 1); return reply("", 7, true); }, 11, "", "1/0/0 0"},
        {"RegistCallBackFuncIntf/null callbacks, a write given up", [&] { RegistCallBackFuncIntf(nullptr, nullptr); d.writeList << var(7, 0, 1); return reply("", 0); }, 41, "", "0/0/0 2"},
        // Reply lengths that lie: never a byte read past the length or the array.
        {"DataCom/length past the array", [&] { d.readList << var(7, 0, 1); return reply("01 03 02 00", 7); }, 11, "", "1/0/0 0"},
        {"DataCom/negative length", [&] { d.readList << var(7, 0, 1); return reply("01 03 02 00 07 F9 86", -1); }, 71, "", "1/0/0 0"},
        {"DataCom/length INT_MIN", [&] { d.readList << var(7, 0, 1); return reply("01 03 02 00 07 F9 86", INT_MIN); }, 71, "", "1/0/0 0"},
        {"DataCom/length INT_MAX", [&] { d.readList << var(7, 0, 1); return reply("01 03 02 00 07 F9 86", INT_MAX); }, 71, "", "1/0/0 0"},
        {"DataCom/length shorter than the reply", [&] { d.readList << var(7, 0, 1); return reply("01 03 02 00 07 F9 86", 5); }, 71, "", "1/0/0 0"},
        // Address texts garbage, empty, negative, huge or in the wrong form for the code.
        {"PLCAddressChangeIntef/octal code, digit 8", [&] { return parse(0, "18"); }, -1, "StringAddressToInt error 0 \"18\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/empty", [&] { return parse(7, ""); }, -1, "StringAddressToInt error 7 \"\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/letters", [&] { return parse(7, "12a"); }, -1, "StringAddressToInt error 7 \"12a\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/hexadecimal", [&] { return parse(7, "0x10"); }, -1, "StringAddressToInt error 7 \"0x10\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/past 32 bits", [&] { return parse(13, "2147483648"); }, -1, "StringAddressToInt error 13 \"2147483648\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/minus one", [&] { return parse(5, "-1"); }, -1, "StringAddressToInt error 5 \"-1\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/other negatives pass as unusable", [&] { return parse(5, "-5"); }, -5, "", "0/0/0 0"},
        {"PLCAddressChangeIntef/word.bit without the bit", [&] { return parse(20, "12"); }, -1, "StringAddressToInt error 20 \"12\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/word.bit twice", [&] { return parse(20, "12.3.4"); }, -1, "StringAddressToInt error 20 \"12.3.4\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/word.bit past 32 bits", [&] { return parse(20, "134217728.0"); }, -1, "StringAddressToInt error 20 \"134217728.0\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/code 26", [&] { return parse(26, "1"); }, -1, "StringAddressToInt error 26 \"1\" ", "0/0/0 0"},
        {"PLCAddressChangeIntef/code -1", [&] { return parse(-1, "1"); }, -1, "StringAddressToInt error -1 \"1\" ", "0/0/0 0"},
        {"GetRegisterData/unusable text gives zeros", [&] { return get(7, "x", 3); }, 0, "StringAddressToInt error 7 \"x\" ", "0/0/0 0=000000000000"},
        {"SetRegisterData/unusable text changes nothing", [&] { info.runMode = 0; d.writeList << var(7, 0, 1); return set(7, "x", "12 34", 1) + d.failFlag; }, 0, "StringAddressToInt error 7 \"x\" ", "0/1/0 0"},
        {"AddListOnceReadVar/unusable text", [&] { return once(20, "7", 1); }, 0, "StringAddressToInt error 20 \"7\" ", "0/0/0 0"},
        {"ReCreatReadVarList/unusable text is left out", [&] { return rebuild(7, "", 1); }, 0, "StringAddressToInt error 7 \"\" ", "0/0/0 0"},
        // Counts and addresses negative or huge: nothing for none, a refusal past one area.
        {"GetRegisterData/negative count", [&] { return get(7, "0", -4); }, 1, "", "0/0/0 0="},
        {"GetRegisterData/count past one area", [&] { return get(7, "0", 65537); }, 0, "GetRegisterData count 7 65537 ", "0/0/0 0="},
        {"GetRegisterData/count INT_MAX", [&] { return get(3, "0", INT_MAX); }, 0, "GetRegisterData count 3 2147483647 ", "0/0/0 0="},
        {"GetRegisterData/address past the image bound", [&] { return get(7, "2000000000", 2); }, 1, "**** ERROR checkTheStorage range 1 7 2000000000 2 ", "0/0/0 0=00000000"},
        {"GetRegisterData/a whole area", [&] { const int r = get(9, "0", 65536); gotOutput = false; return r - out.count('\0'); }, 1 - 131072, "", "0/0/0 131072"},
        {"SetRegisterData/negative count", [&] { return set(7, "0", "12 34", -2); }, 0, "", "0/0/0 0"},
        {"SetRegisterData/count past one area", [&] { return set(3, "0", "01", 65537); }, 0, "SetRegisterData count 3 65537 ", "0/0/0 0"},
        {"SetRegisterData/read-only code", [&] { return set(13, "0", "12 34", 1); }, 0, "", "0/0/0 0"},
        {"SetRegisterData/code 26", [&] { return set(26, "0", "12 34", 1); }, 0, "StringAddressToInt error 26 \"0\" ", "0/0/0 0"},
        {"SetRegisterData/bits past the largest address", [&] { return set(3, "2147483647", "01 01 01", 3); }, 1, "", "0/1/0 0"},
        {"SetRegisterData/values shorter than the count are zeros", [&] { set(7, "0", "34 12", 2); return int(d.writeList.first().value == hex("12 34 00 00")); }, 1, "", "0/1/0 0"},
        {"SetRegisterData/65535 bits against a full write list", [&] { for (int i = 0; i < kListCapacity; ++i) d.writeList << var(12, i, 1); return set(1, "0", "01", 65535); }, kListCapacity, "", "0/1024/0 0"},
        {"SetRegisterData/image bound while the link fails", [&] { info.runMode = 0; info.multiStation = 1; for (int st : {1, 2}) set(7, "8388607", "34 12", 1, st); return set(7, "8388607", "34 12", 1, 3); }, 1, "**** ERROR checkTheStorage range 3 7 8388607 1 ", "0/0/0 33554432"},
        {"AddListOnceReadVar/count past one area", [&] { return once(7, "0", 65537); }, 0, "AddListOnceReadVar count 1 7 0 65537 ", "0/0/0 0"},
        {"AddListOnceReadVar/negative count", [&] { return once(7, "0", -3); }, 0, "", "0/0/0 0"},
        {"AddListOnceReadVar/station 0", [&] { info.multiStation = 1; return once(7, "0", 1, 0); }, 0, "", "0/0/0 0"},
        {"AddListOnceReadVar/pieces past the largest address", [&] { info.blockSize = 1; return once(7, "2147483646", 5); }, 2, "", "0/0/2 0"},
        {"ReCreatReadVarList/count past one area is left out", [&] { return rebuild(7, "0", 65537); }, 0, "ReCreatReadVarList count 1 7 0 65537 ", "0/0/0 0"},
        {"ReCreatReadVarList/negative count opens no block", [&] { return rebuild(7, "0", -5); }, 0, "", "0/0/0 0"},
        // Bad block sizes.
        {"ReCreatReadVarList/block size 0", [&] { info.blockSize = 0; return rebuild(7, "0", 1); }, 0, "ReCreatReadVarList blockSize 0 ", "0/0/0 0"},
        {"ReCreatReadVarList/negative block size", [&] { info.blockSize = INT_MIN; return rebuild(7, "0", 1); }, 0, "ReCreatReadVarList blockSize -2147483648 ", "0/0/0 0"},
        {"ReCreatReadVarList/block size INT_MAX on a bit area", [&] { info.blockSize = INT_MAX; return rebuild(3, "0", 65536); }, 1, "", "1/0/0 0"},
        {"SetRegisterData/negative block size is one piece", [&] { info.blockSize = -7; return set(7, "0", "", 300); }, 1, "", "0/1/0 0"},
        {"AddListOnceReadVar/block size 0 is one piece", [&] { info.blockSize = 0; return once(7, "0", 300); }, 1, "", "0/0/1 0"},
        // Records the host builds itself, and settings at their limits.
        {"AddListWriteVar/code 26 is dropped when served", [&] { RW_VAR w = var(26, 0, 1); AddListWriteVar(&w, 1); return ComCommunication() != nullptr; }, 0, "WriteRegister default 1 26 0 1 ", "0/0/0 0"},
        {"AddListReadVar/unreadable code stays at the head", [&] { RW_VAR r = var(21, 0, 1); AddListReadVar(&r); return ComCommunication() != nullptr; }, 0, "ReadAnalog default 1 21 0 1 ", "1/0/0 0"},
        {"SetComInfo/retry count left at INT_MAX still gives up", [&] { info.retryCount = INT_MAX; d.readList << var(7, 0, 1); return reply("", 0) + info.retryCount; }, 41, "", "1/0/0 0"},
        {"SetComInfo/retry limit INT_MAX repeats", [&] { info.retryMax = INT_MAX; d.readList << var(7, 0, 1); return reply("", 0) + reply("", 0); }, 0, "", "1/0/0 0"},
        {"EnCommStation/INT_MIN switches every station on", [&] { EnCommStation(1, 0); EnCommStation(INT_MIN, 0); return int(isStationOff(1)); }, 0, "", "0/0/0 0"},
        {"EnableEthernet/unknown mode changes nothing", [&] { EnableEthernet(1, 7); EnableEthernet(2, 0); EnableEthernet(2, -1); return isStationOff(1) + 2 * isStationOff(2); }, 2, "", "0/0/0 0"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        resetDriver();
        info = COMINFO{0, 0, 0, 0, 32, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 77};  // retryMax 0
        SetComInfo(&info);
        RegistCallBackFuncIntf(nullptr, nullptr);
        rec = Recorder();
        gotOutput = false;
        EXPECT_EQ(row.call(), row.result);
        EXPECT_EQ(takeMessages(), row.diagnostic);
        EXPECT_EQ(state(), row.state);
    }
}

}  // namespace
}  // namespace plctest
