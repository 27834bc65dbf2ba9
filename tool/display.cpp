#include "display.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "frame_decoder.h"
#include "text_table.h"

namespace plchost {

const char* const kNoData = "\u2013";

namespace {

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string unitsText(int type, const QByteArray& bytes, Format format, int maxUnits) {
    const std::vector<long> units = decodeUnits(type, bytes, format);
    std::string out;
    const int shown = std::min<int>(int(units.size()), maxUnits);
    for (int i = 0; i < shown; ++i)
        out += (i ? " " : "") + formatUnit(type, units[size_t(i)], format);
    if (int(units.size()) > shown) out += fmt(" (+%d more)", int(units.size()) - shown);
    return out;
}

// At most six characters: "12.3s", "59m59s", "27.8h", "1234h".
std::string ageText(const ReadState& r) {
    if (r.dataAgeSec < 0) return kNoData;
    const double s = r.dataAgeSec;
    std::string age = s < 99.95    ? fmt("%.1fs", s)
                      : s < 3600   ? fmt("%dm%02ds", int(s) / 60, int(s) % 60)
                      : s < 359640 ? fmt("%.1fh", s / 3600)
                                   : fmt("%.0fh", std::min(s / 3600, 999999.0));
    return age + (r.stale ? " stale" : "");
}

std::string stationText(const StationStatus& st, int64_t now) {
    std::string state;
    switch (st.mode) {
        case StationStatus::Mode::On:
            state = "on";
            break;
        case StationStatus::Mode::Probing:
            state = "probing";
            break;
        case StationStatus::Mode::Off:
            state = st.offUntilNs == INT64_MAX
                        ? std::string("OFF")
                        : fmt("OFF, probe in %.1f s",
                              double(std::max<int64_t>(0, st.offUntilNs - now)) / 1e9);
            break;
    }
    std::string s = fmt("[%d %s; req %llu, good %llu, give-ups %llu", st.station, state.c_str(),
                        (unsigned long long)st.requests, (unsigned long long)st.good,
                        (unsigned long long)st.giveUps);
    if (st.consecutiveGiveUps) s += fmt(", %d in a row", st.consecutiveGiveUps);
    if (st.timesOff) s += fmt(", off %llux", (unsigned long long)st.timesOff);
    return s + "]";
}

}  // namespace

std::string formatValue(const VarStatus& v, bool showAll) {
    if (!v.addressOk) return "(address not usable)";
    const std::vector<long> units = decodeUnits(v.cfg.type, v.value, v.cfg.format);
    const int shown = showAll ? int(units.size()) : std::min<int>(int(units.size()), kShownUnits);
    std::string out;
    for (int k = 0; k < shown; ++k) {
        const bool read = size_t(k) < v.read.unitRead.size() && v.read.unitRead[size_t(k)];
        out += (k ? " " : "") +
               (read ? formatUnit(v.cfg.type, units[size_t(k)], v.cfg.format) : kNoData);
    }
    if (int(units.size()) > shown) out += fmt(" (+%d more)", int(units.size()) - shown);
    return out;
}

std::string writeOutcome(const WriteStatus& w) {
    std::string s = writeStateText(w.state);
    switch (w.state) {
        case WriteState::Confirmed:
            s += fmt(" (done 1 after %.0f ms)", double(w.doneNs - w.queuedNs) / 1e6);
            switch (w.readback) {
                case WriteStatus::Readback::Pending:
                    s += ", reading back...";
                    break;
                case WriteStatus::Readback::Match:
                    s +=
                        ", read back " + unitsText(w.req.type, w.readValue, Format::Dec, 4) + " OK";
                    break;
                case WriteStatus::Readback::Mismatch:
                    s += ", read back " + unitsText(w.req.type, w.readValue, Format::Dec, 4) +
                         " MISMATCH";
                    break;
                case WriteStatus::Readback::Failed:
                    s += ", read-back failed";
                    break;
                case WriteStatus::Readback::None:
                    break;
            }
            break;
        case WriteState::Failed:
            s += w.failCallback ? " (done 2, failCallback)" : " (done 2)";
            break;
        case WriteState::Rejected:
            s += ": " + w.note;
            break;
        default:
            break;
    }
    if (w.exception) s += "; " + exceptionText(w.exception);
    return s;
}

std::string renderScreen(const Snapshot& snap, const ScreenInfo& info) {
    const int width = std::max(80, info.width);
    std::string head = fmt("plc-host  %s  %s framing  run %.1f s", info.link.c_str(),
                           info.framing.c_str(), info.runSec);
    if (info.durationSec > 0) head += fmt(" of %.0f s", info.durationSec);
    std::string s = wrapParagraph(head, width, 0, 4) + "\n";

    // The value column is never narrower than a register in binary.
    // header, right-aligned, wraps, min, max, flexible
    const std::vector<Column> varColumns = {
        {"Variable", false, true, 8, 16},
        {"St", true},
        {"Type", true},
        {"Address"},
        {"Cnt", true},
        {"Status", false, true, 8, 40},
        {"Age", false, true, 6, 6},
        {"Value", false, true, 16, 0, true},
    };
    std::vector<std::vector<std::string>> rows;
    for (const VarStatus& v : snap.vars)
        rows.push_back({v.cfg.name.toStdString(), std::to_string(v.cfg.station),
                        std::to_string(v.cfg.type), v.cfg.addrText.toStdString(),
                        std::to_string(v.cfg.count),
                        statusCell(v.read.lastStatus, v.read.exception), ageText(v.read),
                        formatValue(v, info.showAll)});
    if (!rows.empty()) s += renderTable(varColumns, rows, width);

    if (!snap.stations.empty()) {
        std::string line = "Stations:";
        const int64_t now = monotonicNs();
        for (const StationStatus& st : snap.stations) line += "  " + stationText(st, now);
        s += "\n" + wrapParagraph(line, width, 1, 11);
    }

    if (!snap.writes.empty()) {
        int confirmed = 0, failed = 0, open = 0;
        for (const WriteStatus& w : snap.writes) {
            if (w.state == WriteState::Confirmed)
                ++confirmed;
            else if (w.state == WriteState::Failed || w.state == WriteState::Rejected)
                ++failed;
            else if (w.state == WriteState::Waiting || w.state == WriteState::Queued)
                ++open;
        }
        s += fmt("\n Writes: %d confirmed, %d failed, %d open\n", confirmed, failed, open);
        const std::vector<Column> writeColumns = {
            {"#", true},
            {"Write", false, true, 6, 14},
            {"St", true},
            {"Type", true},
            {"Address"},
            {"Values", false, true, 6, 16},
            {"Outcome", false, true, 16, 0, true},
        };
        std::vector<std::vector<std::string>> writeRows;
        const size_t first = snap.writes.size() > 8 ? snap.writes.size() - 8 : 0;
        for (size_t i = first; i < snap.writes.size(); ++i) {
            const WriteStatus& w = snap.writes[i];
            writeRows.push_back(
                {std::to_string(w.id), w.req.name.toStdString(), std::to_string(w.req.station),
                 std::to_string(w.req.type), w.req.addrText.toStdString(),
                 unitsText(w.req.type, w.req.values, Format::Dec, 4), writeOutcome(w)});
        }
        s += renderTable(writeColumns, writeRows, width);
    }

    const EngineStats& st = snap.stats;
    std::string line = fmt("requests %llu  good %llu  retries %llu  give-ups %llu",
                           (unsigned long long)st.requests, (unsigned long long)st.good,
                           (unsigned long long)st.retries, (unsigned long long)st.giveUps);
    if (st.giveUps)
        line += fmt(" (no reply %llu, bad %llu, length %llu)", (unsigned long long)st.noReply,
                    (unsigned long long)st.badReply, (unsigned long long)st.wrongLength);
    if (st.exceptions) line += fmt("  exceptions %llu", (unsigned long long)st.exceptions);
    line += fmt("  cycles %llu  cycle %.1f ms  req/s %.1f", (unsigned long long)st.cycles,
                st.lastCycleMs, st.requestsPerSec);
    s += "\n" + wrapParagraph(line, width, 1, 1);
    return s;
}

}  // namespace plchost
