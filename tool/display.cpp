#include "display.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "register_types.h"

namespace plchost {

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
    for (int i = 0; i < shown; ++i) {
        if (i) out += ' ';
        const long u = units[size_t(i)];
        if (isBitUnitType(type)) {
            out += u ? '1' : '0';
        } else if (format == Format::Hex) {
            out += fmt("0x%04lX", u & 0xFFFF);
        } else if (format == Format::Bin) {
            std::string b;
            for (int k = 15; k >= 0; --k) b += ((u >> k) & 1) ? '1' : '0';
            out += b;
        } else {
            out += std::to_string(u);
        }
    }
    if (int(units.size()) > shown) out += fmt(" ...(+%d)", int(units.size()) - shown);
    return out;
}

const char* typeKind(int type) {
    if (plc::isBitArea(type)) return "bits";
    if (plc::isBitInWord(type)) return "bit/word";
    return "words";
}

}  // namespace

std::string formatValue(const VarStatus& v) {
    if (!v.addressOk) return "(address not usable)";
    const int maxUnits = isBitUnitType(v.cfg.type) ? 16 : (v.cfg.format == Format::Bin ? 2 : 8);
    return unitsText(v.cfg.type, v.value, v.cfg.format, maxUnits);
}

std::string renderScreen(const Snapshot& snap, const ScreenInfo& info) {
    std::string s;
    s += fmt("plc-host  %s  %s framing  run %.1f s", info.link.c_str(), info.framing.c_str(),
             info.runSec);
    if (info.durationSec > 0) s += fmt(" of %.0f s", info.durationSec);
    s += "\n\n";
    s += fmt(" %-14s %3s %4s %-8s %-9s %4s  %-36s %-14s %6s\n", "Variable", "St", "Type", "Kind",
             "Address", "Cnt", "Value", "Last status", "Age");
    s += " " + std::string(106, '-') + "\n";
    for (const VarStatus& v : snap.vars) {
        std::string value = formatValue(v);
        if (value.size() > 36) value = value.substr(0, 33) + "...";
        const std::string age = v.ageSec < 0 ? "-" : fmt("%.1fs", v.ageSec);
        const std::string status =
            v.lastStatus < 0 ? "-" : fmt("%d %s", v.lastStatus, statusText(v.lastStatus));
        s += fmt(" %-14.14s %3d %4d %-8s %-9.9s %4d  %-36s %-14.14s %6s\n",
                 v.cfg.name.toLocal8Bit().constData(), v.cfg.station, v.cfg.type,
                 typeKind(v.cfg.type), v.cfg.addrText.toLocal8Bit().constData(), v.cfg.count,
                 value.c_str(), status.c_str(), age.c_str());
    }

    if (!snap.stations.empty()) {
        s += "\n Stations:";
        const int64_t now = monotonicNs();
        for (const StationStatus& st : snap.stations) {
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
            s += fmt("  [%d %s; req %llu, good %llu, give-ups %llu", st.station, state.c_str(),
                     (unsigned long long)st.requests, (unsigned long long)st.good,
                     (unsigned long long)st.giveUps);
            if (st.consecutiveGiveUps) s += fmt(", %d in a row", st.consecutiveGiveUps);
            if (st.timesOff) s += fmt(", off %llux", (unsigned long long)st.timesOff);
            s += "]";
        }
        s += "\n";
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
        const size_t first = snap.writes.size() > 8 ? snap.writes.size() - 8 : 0;
        for (size_t i = first; i < snap.writes.size(); ++i) {
            const WriteStatus& w = snap.writes[i];
            const WriteRequest& r = w.req;
            std::string line =
                fmt("  #%-3d %-14.14s st %d type %2d addr %-7.7s = %-12s %s", w.id,
                    r.name.toLocal8Bit().constData(), r.station, r.type,
                    r.addrText.toLocal8Bit().constData(),
                    unitsText(r.type, r.values, Format::Dec, 4).c_str(), writeStateText(w.state));
            if (w.state == WriteState::Confirmed) {
                line += fmt(" (done 1 after %.0f ms)", double(w.doneNs - w.queuedNs) / 1e6);
                switch (w.readback) {
                    case WriteStatus::Readback::Pending:
                        line += ", reading back...";
                        break;
                    case WriteStatus::Readback::Match:
                        line +=
                            ", read back " + unitsText(r.type, w.readValue, Format::Dec, 4) + " OK";
                        break;
                    case WriteStatus::Readback::Mismatch:
                        line += ", read back " + unitsText(r.type, w.readValue, Format::Dec, 4) +
                                " MISMATCH";
                        break;
                    case WriteStatus::Readback::Failed:
                        line += ", read-back failed";
                        break;
                    case WriteStatus::Readback::None:
                        break;
                }
            } else if (w.state == WriteState::Failed) {
                line += w.failCallback ? " (done 2, failCallback)" : " (done 2)";
            } else if (w.state == WriteState::Rejected) {
                line += fmt(" (SetRegisterData returned %d)", w.queueResult);
            }
            s += line + "\n";
        }
    }

    const EngineStats& st = snap.stats;
    s += fmt("\n requests %llu  good %llu  retries %llu  give-ups %llu",
             (unsigned long long)st.requests, (unsigned long long)st.good,
             (unsigned long long)st.retries, (unsigned long long)st.giveUps);
    if (st.giveUps)
        s += fmt(" (no reply %llu, bad %llu, length %llu)", (unsigned long long)st.noReply,
                 (unsigned long long)st.badReply, (unsigned long long)st.wrongLength);
    s += fmt("  cycles %llu  cycle %.1f ms  req/s %.1f\n", (unsigned long long)st.cycles,
             st.lastCycleMs, st.requestsPerSec);
    return s;
}

}  // namespace plchost
