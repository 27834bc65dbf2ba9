// Rebuilding the cyclic read list from the host's variable descriptions.
#include <algorithm>
#include <array>
#include <climits>
#include <random>
#include <tuple>

#include "test_support.h"

namespace plctest {
namespace {

VARDESC desc(int regType, const char* text, int count, int station = 1, const char* name = "") {
    return VARDESC{0, uint8_t(regType), uint8_t(station), 0, 0, text, name, count};
}

class RebuildTest : public DriverTest {
protected:
    int rebuild(QList<VARDESC> descs) { return ReCreatReadVarList(&descs); }
    static std::string blocks() { return listText(PLC_driver.readList); }
};

TEST_F(RebuildTest, VariablesAreGroupedIntoBlockReadsPerStationAndAreaInANewCycle) {
    // what, block size, stations (1: from descriptors, 0: default 1, -1: default 0), descriptors
    //   -> station:type:addr:count per block, diagnostic
    // clang-format off
    const std::tuple<const char*, int, int, QList<VARDESC>, const char*, std::string> rows[] = {
        {"join, stretch to the limit, continue", 32, 0, {desc(7, "0", 1), desc(7, "10", 2), desc(7, "31", 4), desc(7, "40", 1)}, "1:7:0:32 1:7:32:9", ""},
        {"starting exactly one limit later opens a block", 32, 0, {desc(7, "0", 1), desc(7, "32", 1), desc(7, "50", 20)}, "1:7:0:1 1:7:32:32 1:7:64:6", ""},
        {"a long variable is cut into limit-sized blocks", 32, 0, {desc(7, "100", 70)}, "1:7:100:32 1:7:132:32 1:7:164:6", ""},
        {"bit areas group up to eight times the block size", 32, 0, {desc(2, "256", 1), desc(2, "0", 1), desc(2, "255", 1)}, "1:2:0:256 1:2:256:1", ""},
        {"bit in word reads its whole word", 32, 0, {desc(20, "3.4", 4), desc(7, "3", 1)}, "1:7:3:1", ""},
        {"unsorted input is sorted by address", 32, 0, {desc(7, "90", 1), desc(7, "10", 1), desc(7, "40", 1)}, "1:7:10:31 1:7:90:1", ""},
        {"variable inside the last block adds nothing", 32, 0, {desc(7, "0", 20), desc(7, "5", 3)}, "1:7:0:20", ""},
        {"two equal variables give one block", 32, 0, {desc(9, "3", 2), desc(9, "3", 2)}, "1:9:3:2", ""},
        {"stations ascending, then codes, folded codes together", 32, 1, {desc(12, "8", 1, 2), desc(7, "4", 1, 2), desc(21, "5.0", 1, 1), desc(12, "2", 1, 1), desc(7, "9", 1, 1)}, "1:7:9:1 1:12:2:4 2:7:4:1 2:12:8:1", ""},
        {"word limit 1 keeps variables whole and apart, bits still group by 8", 1, 0, {desc(7, "5", 1), desc(7, "5", 3), desc(7, "6", 1), desc(7, "9", 4), desc(7, "9", 2), desc(3, "0", 1), desc(3, "7", 1), desc(3, "8", 1)}, "1:3:0:8 1:3:8:1 1:7:5:3 1:7:6:1 1:7:9:4", ""},
        {"unparsable texts and unknown codes are left out", 32, 0, {desc(0, "8", 1), desc(7, "x", 1), desc(30, "1", 1), desc(20, "4", 1), desc(8, "1", 1)}, "1:8:1:1",
         "StringAddressToInt error 0 \"8\" |StringAddressToInt error 7 \"x\" |StringAddressToInt error 30 \"1\" |StringAddressToInt error 20 \"4\" "},
        {"station byte 0 is left out in multi-station mode", 32, 1, {desc(7, "1", 1, 0), desc(7, "2", 1, 3)}, "3:7:2:1", ""},
        {"empty first variable of a later group", 32, 0, {desc(7, "0", 10), desc(8, "0", 0), desc(8, "5", 1)}, "1:7:0:10 1:8:5:1", ""}, {"no station at all: still a new cycle", 32, -1, {desc(7, "1", 1)}, "", ""},
        {"negative first variable", 32, 0, {desc(7, "0", -4), desc(7, "3", 1)}, "1:7:3:1", ""}, {"only empty variables", 32, 0, {desc(9, "0", 0), desc(9, "4", INT_MIN)}, "", ""},
        {"empty variable between two blocks", 32, 0, {desc(7, "0", 1), desc(7, "2", 0), desc(7, "40", 1)}, "1:7:0:1 1:7:40:1", ""}, {"empty variables without grouping", 1, 0, {desc(7, "5", 0), desc(7, "6", -2), desc(7, "7", 1)}, "1:7:7:1", ""},
        {"more than one area is left out", 32, 0, {desc(7, "0", kMaxUnits + 1), desc(7, "100", 1), desc(7, "0", INT_MAX)}, "1:7:100:1", "ReCreatReadVarList count 1 7 0 65537 |ReCreatReadVarList count 1 7 0 2147483647 "},
        {"the top of the address range does not wrap", 32, 0, {desc(7, "2147483640", 1), desc(7, "2147483647", 1)}, "1:7:2147483640:8", ""},
        {"the largest count is still served", kMaxUnits, 0, {desc(7, "0", kMaxUnits), desc(2, "0", kMaxUnits)}, "1:2:0:65536 1:7:0:65536", ""},
        {"blocks past the largest address are not made", 32, 0, {desc(7, "2147483600", 100)}, "1:7:2147483600:32 1:7:2147483632:32", ""},
        {"eight times a huge block size does not wrap", 0x10000000, 0, {desc(2, "0", 1), desc(2, "100000", 1)}, "1:2:0:100001", ""},
    };
    // clang-format on
    RW_VAR old = var(7, 1, 1);
    for (const auto& [what, blockSize, multi, descs, want, diag] : rows) {
        std::tie(info.blockSize, info.multiStation, info.defStation) =
            std::make_tuple(blockSize, multi > 0, multi < 0 ? 0 : 1);
        info.finishFlag = PLC_driver.okCount = 3;
        AddListReadVar(&old);  // discarded by every rebuild
        const int n = rebuild(descs);
        EXPECT_EQ(n, PLC_driver.readList.size()) << what;
        EXPECT_EQ(blocks(), want) << what;
        EXPECT_EQ(takeMessages(), diag);
        EXPECT_EQ(PLC_driver.okCount * 10 + info.finishFlag, 0);
    }
    info.finishFlag = PLC_driver.okCount = 3;
    AddListReadVar(&old);
    EXPECT_EQ(rebuild({}), 0);  // an empty list only empties the read list
    EXPECT_EQ(PLC_driver.okCount * 10 + info.finishFlag + PLC_driver.readList.size() * 100, 33);
}

// Random projects over three stations, bit areas, word areas and bits inside
// words, overlapping and out of order: the blocks come in station, area and
// address order, none is empty or longer than its limit, and every unit of
// every variable is read by a block of its station and (folded) area.
TEST_F(RebuildTest, RandomProjectsAreCoveredByOrderedBlocksWithinTheLimit) {
    std::mt19937 rng(9);
    info.multiStation = 1;
    for (int trial = 0; trial < 40; ++trial) {
        info.blockSize = 2 + int(rng() % 40);
        QList<VARDESC> descs;
        for (int i = 0; i < 60; ++i) {
            const int type = std::array<int, 4>{2, 7, 12, 20}[rng() % 4];
            const int addr = int(rng() % 300), count = 1 + int(rng() % 50);
            const QString text =
                type == 20 ? QString("%1.%2").arg(addr / 16).arg(addr % 16) : QString::number(addr);
            descs << VARDESC{0, uint8_t(type), uint8_t(1 + rng() % 3), 0, 0, text, "", count};
        }
        rebuild(descs);
        const QList<RW_VAR>& blocks = PLC_driver.readList;
        for (int i = 0; i < blocks.size(); ++i) {
            const RW_VAR& b = blocks[i];
            EXPECT_GE(b.count, 1);
            EXPECT_LE(b.count, b.regType <= 6 ? 8 * info.blockSize : info.blockSize);
            if (i > 0) {
                const RW_VAR& p = blocks[i - 1];
                EXPECT_LT(std::tie(p.station, p.regType, p.addr),
                          std::tie(b.station, b.regType, b.addr));
            }
        }
        for (const VARDESC& d : descs) {
            RW_VAR v =
                var(d.regType, StringAddressToInt(d.regType, d.addrText), d.count, d.station);
            updateRwVar(&v);
            for (int u = v.addr; u < v.addr + v.count; ++u) {
                const bool covered =
                    std::any_of(blocks.begin(), blocks.end(), [&](const RW_VAR& b) {
                        return b.station == v.station && b.regType == v.regType && b.addr <= u &&
                               u < b.addr + b.count;
                    });
                ASSERT_TRUE(covered) << "trial " << trial << " " << listText({v}) << " unit " << u;
            }
        }
    }
}

TEST_F(RebuildTest, BlocksAreReadsCarryingTheRecordOfTheVariableThatOpenedThem) {
    std::tie(info.remoteMode, info.ownLinkNo, info.defStation) = std::make_tuple(3, 6, 4);
    // Of equal addresses the earlier descriptor comes first after sorting.
    EXPECT_EQ(rebuild({desc(7, "10", 1, 9, "second"), desc(7, "2", 1, 9, "first"),
                       desc(7, "10", 5, 9, "third"), desc(7, "40", 1, 9, "fourth"),
                       desc(7, "40", 3, 9, "fifth")}),
              2);
    EXPECT_EQ(recordText(PLC_driver.readList[0]), "0 -1 0 3 6 0 first 2 7 2 4 13 0 0 ");
    EXPECT_EQ(recordText(PLC_driver.readList[1]), "0 -1 0 3 6 0 fourth 40 7 40 4 3 0 0 ");
}

}  // namespace
}  // namespace plctest
