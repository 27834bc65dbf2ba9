// Project files: every error carries FILE:LINE:COLUMN and the path of the
// value, nothing unknown or mistyped is taken silently, and stations are
// refused when the driver would send them elsewhere.
#include "project.h"

#include <gtest/gtest.h>

#include <QtCore/QFile>
#include <random>

#include "json_locator.h"

namespace {

using namespace plchost;

struct ErrorRow {
    const char* name;
    const char* json;     // with ' for "
    const char* message;  // "LINE:COLUMN: path: what", or a part of it
};

TEST(Project, EveryErrorNamesItsLineColumnAndPath) {
    // clang-format off
    const ErrorRow rows[] = {
        {"UnknownKeySuggestsTheRightOne", "{\n  'link': { 'devcie': '/dev/ttyUSB0' }\n}", "p.json:2:13: link.devcie: unknown key 'devcie'; did you mean 'device'?"},
        {"UnknownTopLevelKey", "{ 'varaibles': [] }", "p.json:1:3: varaibles: unknown key"},
        {"RealForAnInteger", "{'variables': [\n {'type': 7, 'address': '0', 'count': 1.5}]}", "p.json:2:39: variables[0].count: expected an integer"},
        {"StringForANumber", "{'link': {'baud': 'fast'}}", "p.json:1:19: link.baud: expected an integer"},
        {"UnsupportedBaud", "{'link': {'baud': 1234}}", "link.baud: unsupported baud rate"},
        {"MissingType", "{'variables': [{'address': '0'}]}", "p.json:1:16: variables[0]: missing required key 'type'"},
        {"RepeatedKey", "{'link': {'baud': 9600,\n  'baud': 19200}}", "p.json:2:3: link.baud: given twice"},
        {"SyntaxError", "{'link': {'baud': 9600\n  'parity': 'none'}}", "p.json:2:4: JSON syntax"},
        {"NotAnObject", "[1, 2]", "p.json:1:1: the project must be a JSON object"},
        {"ElementNotAnObject", "{'writes': [3]}", "p.json:1:13: writes[0]: expected an object"},
        {"ReadOfStationZero", "{'variables': [{'station': 0, 'type': 7, 'address': '0'}]}", "variables[0].station: station 0 is the broadcast address"},
        {"StationOtherThanDefaultWithoutMultiStation", "{'cominfo': {'defStation': 1},\n 'variables': [{'station': 2, 'type': 7, 'address': '0'}]}", "p.json:2:28: variables[0].station: station 2 is named while multiStation is 0"},
        {"WriteToAnotherStationWithoutMultiStation", "{'writes': [{'station': 2, 'type': 7, 'address': '5', 'values': [1]}]}", "writes[0].station: station 2 is named while multiStation is 0"},
        {"RegisterValueTooLarge", "{'writes': [{'type': 7, 'address': '5', 'values': [1, 70000]}]}", "p.json:1:55: writes[0].values[1]: '70000' is out of range 0..65535"},
        {"BitValueTwo", "{'writes': [{'type': 2, 'address': '5', 'values': [2]}]}", "writes[0].values[0]: '2' is out of range 0..1 (a bit is 0 or 1)"},
        {"SignedValueInRangeOnlyWithIntFormat", "{'writes': [{'type': 7, 'address': '5', 'values': [-1]}]}", "writes[0].values[0]: '-1' is out of range 0..65535"},
        {"EmptyValues", "{'writes': [{'type': 7, 'address': '5', 'values': []}]}", "writes[0].values: at least one value"},
        {"BadDirectionControl", "{'link': {'rs485': 'yes'}}", "link.rs485: 'yes': kernel, rts or off"},
        {"FaultRateAboveOne", "{'simulator': {'faultRate': 1.5}}", "simulator.faultRate: 1.5 is out of range 0..1"},
        {"PresetWithoutPlace", "{'simulator': {'init': [{'station': 1, 'type': 7, 'address': 0, 'values': ['x']}]}}", "simulator.init[0].values[0]: 'x' is not an integer"},
        {"ColumnsCountCharactersNotBytes", "{'variables': [{'name': '\u00fcber', 'type': 99, 'address': '0'}]}", "p.json:1:41: variables[0].type: '99' is out of range 0..25"},
    };
    // clang-format on
    for (const ErrorRow& r : rows) {
        SCOPED_TRACE(r.name);
        HostConfig cfg;
        std::string why;
        EXPECT_FALSE(parseProject(QByteArray(r.json).replace('\'', '"'), "p.json", &cfg, &why));
        EXPECT_NE(why.find(r.message), std::string::npos) << why;
    }
}

TEST(Project, TheDemoProjectLoadsWithUnnamedStationsOnDefStation) {
    HostConfig cfg;
    std::string why;
    ASSERT_TRUE(loadProject(PLC_DEMO_PROJECT, &cfg, &why)) << why;
    EXPECT_EQ(cfg.engine.vars.size(), 11u);
    EXPECT_EQ(cfg.writes.size(), 3u);
    EXPECT_EQ(cfg.engine.com.multiStation, 1);
    EXPECT_EQ(cfg.sim.presets.size(), 1u + 3u + 2u + 1u + 4u);
    EXPECT_EQ(cfg.writes[0].req.values, QByteArray::fromHex("3412"));

    HostConfig single;
    ASSERT_TRUE(parseProject(R"({"cominfo": {"defStation": 4},
        "variables": [{"type": 7, "address": "0"}, {"station": 4, "type": 20, "address": "3.4"}],
        "writes": [{"type": 7, "address": 9, "values": ["0x1234"], "format": "hex"}]})",
                             "s.json", &single, &why))
        << why;
    EXPECT_EQ(single.engine.vars[0].station, 4);
    EXPECT_EQ(single.engine.vars[1].addrText, "3.4");
    EXPECT_EQ(single.writes[0].req.station, 4);
    EXPECT_EQ(single.writes[0].req.addrText, "9");  // a number is taken by its digits
    EXPECT_FALSE(
        parseProject(R"({"variables": [{"type": 20, "address": 3.4}]})", "r.json", &single, &why))
        << "a real is no address text: 3.40 and 3.4 would be the same number";
}

// An unknown key slipped into any object of a real project is reported at
// exactly the place where it was written.
TEST(Project, AnUnknownKeyAnywhereIsReportedWhereItStands) {
    QFile f(PLC_DEMO_PROJECT);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray demo = f.readAll();
    std::vector<int> objects;
    for (int i = 0; i < demo.size(); ++i)
        if (demo[i] == '{') objects.push_back(i);
    ASSERT_GT(objects.size(), 20u);
    for (int at : objects) {
        QByteArray text = demo;
        text.insert(at + 1, "\n   \"bogus\": 1,");
        HostConfig cfg;
        std::string why;
        ASSERT_FALSE(parseProject(text, "demo.json", &cfg, &why));
        const TextPosition p = positionOf(text, at + 5);
        const std::string where =
            "demo.json:" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": ";
        EXPECT_EQ(why.rfind(where, 0), 0u) << why << " (inserted at byte " << at << ")";
        EXPECT_NE(why.find("unknown key 'bogus'"), std::string::npos) << why;
    }
}

}  // namespace
