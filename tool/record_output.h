// Machine-readable output: one record per variable per completed read cycle,
// as CSV (with a header line) or JSON Lines. Values are decimal numbers
// (signed for variables shown as int); a unit never read is "-" in CSV and
// null in JSON.
//
//   time,cycle,name,station,type,address,count,status,status_text,stale,values
//   2024-05-02T09:14:07.123Z,3,counter,1,7,0,1,1,ok,0,97
//   {"time":"2024-05-02T09:14:07.123Z","cycle":3,"name":"counter","station":1,"type":7,
//    "address":"0","count":1,"status":1,"statusText":"ok","stale":false,"values":[97]}
#ifndef PLCHOST_RECORD_OUTPUT_H
#define PLCHOST_RECORD_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "host_config.h"
#include "host_engine.h"

namespace plchost {

// Wall-clock time in ISO 8601, UTC, with milliseconds: "2024-05-02T09:14:07.123Z".
std::string isoTimeNow();

std::string csvHeader();
std::string csvRecord(const VarStatus& v, const std::string& time, uint64_t cycle);
std::string jsonlRecord(const VarStatus& v, const std::string& time, uint64_t cycle);

// Writes the records of each completed cycle to a stream (a file of --log,
// or stdout), the CSV header first.
class RecordWriter {
public:
    RecordWriter(OutputFormat format, FILE* out) : format_(format), out_(out) {}
    void writeCycle(const Snapshot& snap, uint64_t cycle, const std::string& time);

private:
    OutputFormat format_;
    FILE* out_;
    bool headerDone_ = false;
};

}  // namespace plchost

#endif  // PLCHOST_RECORD_OUTPUT_H
