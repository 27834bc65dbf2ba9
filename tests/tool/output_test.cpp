// What plc-host prints: tables that fit the terminal without cutting a
// number, "–" for units never read, the records of --format csv|jsonl and
// the register-type list.
#include <gtest/gtest.h>

#include <QtCore/QFile>
#include <algorithm>
#include <random>

#include "display.h"
#include "driver_api.h"
#include "record_output.h"
#include "text_table.h"
#include "type_list.h"

namespace {

using namespace plchost;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
    return lines;
}

bool containsWord(const std::string& text, const std::string& word) {
    for (const std::string& line : linesOf(text)) {
        size_t pos = 0;
        while ((pos = line.find(word, pos)) != std::string::npos) {
            const size_t end = pos + word.size();
            if ((pos == 0 || line[pos - 1] == ' ') && (end == line.size() || line[end] == ' '))
                return true;
            pos = end;
        }
    }
    return false;
}

TEST(TextTable, GeneratedTablesFitTheirWidthAndKeepEveryNumberWhole) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> len(0, 40), units(0, 30), wide(0, 120);
    const char* const words[] = {"ok", "exception", "02", "illegal", "data", "address", "\u2013"};
    for (int round = 0; round < 300; ++round) {
        const int width = 80 + wide(rng);
        std::vector<std::vector<std::string>> rows;
        std::vector<std::string> numbers;
        for (int r = 0; r < 5; ++r) {
            std::string name(size_t(len(rng)), 'n'), status, value;
            for (int k = 0; k < 3 + len(rng) % 5; ++k)
                status += std::string(k ? " " : "") + words[rng() % 7];
            for (int k = 0, n = units(rng); k < n; ++k) {
                const std::string num =
                    rng() % 3 ? std::to_string(rng() % 65536) : std::string("0001001000110100");
                numbers.push_back(num);
                value += (k ? " " : "") + num;
            }
            rows.push_back({name, std::to_string(rng() % 248), "65535", status, value});
        }
        const std::string text = renderTable({{"Name", false, true, 8, 16},
                                              {"St", true},
                                              {"Addr"},
                                              {"Status", false, true, 8, 22},
                                              {"Value", false, true, 16, 0, true}},
                                             rows, width);
        for (const std::string& line : linesOf(text)) ASSERT_LE(displayWidth(line), width) << line;
        for (const std::string& n : numbers) ASSERT_TRUE(containsWord(text, n)) << n;
    }
}

VarStatus variable(const char* name, int type, int count, std::vector<long> values) {
    VarStatus v;
    v.cfg.name = name;
    v.cfg.type = type;
    v.cfg.addrText = "0";
    v.cfg.count = count;
    v.value = encodeUnits(type, values);
    v.addressOk = true;
    v.read.unitRead.assign(size_t(count), true);
    v.read.lastStatus = 1;
    v.read.dataAgeSec = 0.2;
    return v;
}

TEST(Display, TheScreenFitsEightyColumnsWithLongNamesValuesAndExceptions) {
    Snapshot snap;
    snap.vars.push_back(
        variable("a rather long variable name", 7, 40, std::vector<long>(40, 65535)));
    VarStatus never = variable("never", 2, 4, {0, 0, 0, 0});
    never.read = ReadState();
    never.read.unitRead.assign(4, false);
    never.read.lastStatus = 71;
    never.read.exception = 2;
    snap.vars.push_back(never);
    VarStatus bin = variable("bits", 7, 3, {1, 2, 3});
    bin.cfg.format = Format::Bin;
    bin.read.stale = true;
    bin.read.dataAgeSec = 4000;
    snap.vars.push_back(bin);
    WriteStatus w;
    w.id = 12;
    w.req.name = "a write with a long name";
    w.req.values = encodeUnits(7, {1, 2, 3, 4, 5, 6});
    w.req.count = 6;
    w.state = WriteState::Rejected;
    w.note = "station 2 is named while multiStation is 0: the driver would send it to station 1";
    snap.writes.push_back(w);
    StationStatus st;
    st.station = 1;
    for (int i = 0; i < 6; ++i) snap.stations.push_back(st);
    ScreenInfo info;
    info.link = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KXYZ-if00-port0 19200 8E1";
    info.framing = "local";
    for (int width : {0, 80, 100}) {
        info.width = width;
        for (bool all : {false, true}) {
            info.showAll = all;
            const std::string screen = renderScreen(snap, info);
            for (const std::string& line : linesOf(screen))
                EXPECT_LE(displayWidth(line), std::max(80, width)) << line;
            EXPECT_NE(screen.find("71 exception 02"), std::string::npos);
            EXPECT_TRUE(containsWord(screen, "0000000000000011"));
            EXPECT_EQ(containsWord(screen, "(+24"), !all) << screen;
            EXPECT_TRUE(containsWord(screen, "stale"));
        }
    }
}

TEST(Display, ValuesShowADashForUnitsNoGoodReplyCovered) {
    VarStatus v = variable("v", 7, 4, {10, 20, 30, 40});
    v.read.unitRead = {true, false, true, false};
    EXPECT_EQ(formatValue(v, false), "10 \u2013 30 \u2013");
    v.cfg.format = Format::Hex;
    v.read.unitRead.assign(4, true);
    EXPECT_EQ(formatValue(v, false), "0x000A 0x0014 0x001E 0x0028");
    VarStatus many = variable("m", 2, 20, std::vector<long>(20, 1));
    EXPECT_EQ(formatValue(many, false), "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 (+4 more)");
    EXPECT_EQ(formatValue(many, true), "1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1");
    v.addressOk = false;
    EXPECT_EQ(formatValue(v, false), "(address not usable)");
}

TEST(Records, CsvAndJsonLinesCarryOneVariableEachWithNullsForUnitsNeverRead) {
    VarStatus v = variable("level, left", 7, 3, {1, 65535, 3});
    v.cfg.station = 2;
    v.cfg.format = Format::Int;
    v.read.unitRead = {true, true, false};
    const std::string t = "2024-05-02T09:14:07.123Z";
    EXPECT_EQ(csvRecord(v, t, 4), t + ",4,\"level, left\",2,7,0,3,1,ok,0,1 -1 -\n");
    EXPECT_EQ(jsonlRecord(v, t, 4),
              "{\"time\":\"" + t +
                  "\",\"cycle\":4,\"name\":\"level, left\",\"station\":2,\"type\":7,\"address\":"
                  "\"0\",\"count\":3,\"status\":1,\"statusText\":\"ok\",\"stale\":false,"
                  "\"values\":[1,-1,null]}\n");
    v.read.lastStatus = 71;
    v.read.exception = 2;
    v.read.stale = true;
    v.cfg.name = "say \"hi\"";
    EXPECT_NE(csvRecord(v, t, 5).find(",\"say \"\"hi\"\"\","), std::string::npos);
    EXPECT_NE(csvRecord(v, t, 5).find(",71,exception 02 illegal data address,1,"),
              std::string::npos);
    EXPECT_NE(jsonlRecord(v, t, 5).find("\"name\":\"say \\\"hi\\\"\""), std::string::npos);
    EXPECT_NE(jsonlRecord(v, t, 5).find("\"exception\":2,\"stale\":true"), std::string::npos);
    const std::string now = isoTimeNow();
    EXPECT_EQ(now.size(), t.size()) << now;
    EXPECT_EQ(now.back(), 'Z');
}

TEST(TypeList, OneRowPerCodeWithinEightyColumns) {
    const std::string text = renderRegisterTypes();
    for (const std::string& line : linesOf(text)) EXPECT_LE(displayWidth(line), 80) << line;
    struct Row {
        int code;
        const char* line;
    };
    for (const Row& r : {Row{0, "    0 bits            2 - (read-only)         0 octal"},
                         Row{7, "    7 words           3 6/16              11736 decimal"},
                         Row{20, "   20 bit of 7        3 3+6               11736 word.bit"},
                         Row{22, "   22 bit of 13       4 - (read-only)         0 word.bit"}})
        EXPECT_NE(text.find(std::string(r.line) + "\n"), std::string::npos) << r.code;
}

TEST(Version, TheDriversVersionIsItsFileNamesSuffix) {
    struct Row {
        const char* file;
        const char* version;
    };
    for (const Row& r : {Row{"/usr/lib/libplcdriver.so.1.0.0", "1.0.0"},
                         Row{"libplcdriver.so.1", "1"}, Row{"/opt/x.so.2.10.3/libplcdriver.so", ""},
                         Row{"/tmp/plcdriver-copy-Ab12cd", ""}, Row{"libplcdriver.so.1.", ""},
                         Row{"libplcdriver.so.1..0", ""}, Row{"libplcdriver.so.1a", ""}})
        EXPECT_EQ(libraryVersion(r.file), r.version) << r.file;
}

// The check that keeps a Qt 4 build of the driver out reads the library's
// dependencies from the file; no file, however spoiled, may crash it.
TEST(Version, DependenciesAreReadFromTheFileAndGarbageGivesNone) {
    const std::vector<std::string> needed = neededLibraries(PLC_DRIVER_LIBRARY);
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libQt5Core.so.5"), needed.end());
    QFile f(PLC_DRIVER_LIBRARY);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray image = f.readAll();
    const std::string path = ::testing::TempDir() + "spoiled-library";
    std::mt19937 rng(13);
    for (int round = 0; round < 60; ++round) {
        QByteArray spoiled = image.left(int(rng() % 4096));  // cut inside the headers
        if (round % 2) {
            spoiled = image;  // or whole, with header bytes overwritten
            for (int k = 0; k < 8; ++k) spoiled[int(rng() % 256)] = char(rng());
        }
        QFile out(QString::fromStdString(path));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(spoiled);
        out.close();
        for (const std::string& name : neededLibraries(path)) EXPECT_LT(name.size(), 4096u);
    }
    EXPECT_TRUE(neededLibraries("/dev/zero").empty());
    EXPECT_TRUE(neededLibraries("/nonexistent").empty());
}

}  // namespace
