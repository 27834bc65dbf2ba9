#include "record_output.h"

#include <QtCore/QDateTime>

#include "frame_decoder.h"
#include "status.h"

namespace plchost {

namespace {

// RFC 4180: a field with a comma, quote or line break is quoted, quotes doubled.
std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = uint8_t(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The variable's units, never-read ones as `missing`.
std::vector<std::string> unitTexts(const VarStatus& v, const std::string& missing) {
    std::vector<std::string> out;
    const std::vector<long> units = decodeUnits(v.cfg.type, v.value, v.cfg.format);
    for (size_t k = 0; k < units.size(); ++k) {
        const bool read = v.addressOk && k < v.read.unitRead.size() && v.read.unitRead[k];
        out.push_back(read ? std::to_string(units[k]) : missing);
    }
    return out;
}

std::string statusWords(const VarStatus& v) {
    if (v.read.exception && !isGood(v.read.lastStatus)) return exceptionText(v.read.exception);
    return statusText(v.read.lastStatus);
}

}  // namespace

std::string isoTimeNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

std::string csvHeader() {
    return "time,cycle,name,station,type,address,count,status,status_text,stale,values\n";
}

std::string csvRecord(const VarStatus& v, const std::string& time, uint64_t cycle) {
    std::string values;
    for (const std::string& u : unitTexts(v, "-")) values += (values.empty() ? "" : " ") + u;
    return time + "," + std::to_string(cycle) + "," + csvField(v.cfg.name.toStdString()) + "," +
           std::to_string(v.cfg.station) + "," + std::to_string(v.cfg.type) + "," +
           csvField(v.cfg.addrText.toStdString()) + "," + std::to_string(v.cfg.count) + "," +
           std::to_string(v.read.lastStatus) + "," + csvField(statusWords(v)) + "," +
           (v.read.stale ? "1" : "0") + "," + values + "\n";
}

std::string jsonlRecord(const VarStatus& v, const std::string& time, uint64_t cycle) {
    std::string values;
    for (const std::string& u : unitTexts(v, "null")) values += (values.empty() ? "" : ",") + u;
    std::string s = "{\"time\":" + jsonString(time) + ",\"cycle\":" + std::to_string(cycle) +
                    ",\"name\":" + jsonString(v.cfg.name.toStdString()) +
                    ",\"station\":" + std::to_string(v.cfg.station) +
                    ",\"type\":" + std::to_string(v.cfg.type) +
                    ",\"address\":" + jsonString(v.cfg.addrText.toStdString()) +
                    ",\"count\":" + std::to_string(v.cfg.count) +
                    ",\"status\":" + std::to_string(v.read.lastStatus) +
                    ",\"statusText\":" + jsonString(statusWords(v));
    if (v.read.exception) s += ",\"exception\":" + std::to_string(v.read.exception);
    return s + ",\"stale\":" + (v.read.stale ? "true" : "false") + ",\"values\":[" + values +
           "]}\n";
}

void RecordWriter::writeCycle(const Snapshot& snap, uint64_t cycle, const std::string& time) {
    if (format_ == OutputFormat::Table) return;
    if (format_ == OutputFormat::Csv && !headerDone_) std::fputs(csvHeader().c_str(), out_);
    headerDone_ = true;
    for (const VarStatus& v : snap.vars) {
        const std::string line =
            format_ == OutputFormat::Csv ? csvRecord(v, time, cycle) : jsonlRecord(v, time, cycle);
        std::fputs(line.c_str(), out_);
    }
    std::fflush(out_);
}

}  // namespace plchost
