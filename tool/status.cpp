#include "status.h"

#include "frame_decoder.h"

namespace plchost {

StatusClass classifyStatus(int status) {
    if (status < 0) return StatusClass::None;
    if (status == 1 || status == 100) return StatusClass::Good;
    if (status == 0) return StatusClass::Retry;
    const int local = status > 100 ? status - 100 : status;
    if (local >= 11 && local <= 22) return StatusClass::BadReply;
    if (local >= 41 && local <= 52) return StatusClass::NoReply;
    if (local >= 71 && local <= 82) return StatusClass::WrongLength;
    return StatusClass::OtherGiveUp;
}

bool isGood(int status) { return classifyStatus(status) == StatusClass::Good; }
bool isRetry(int status) { return classifyStatus(status) == StatusClass::Retry; }
bool isGiveUp(int status) {
    const StatusClass c = classifyStatus(status);
    return c != StatusClass::None && c != StatusClass::Good && c != StatusClass::Retry;
}

const char* statusText(int status) {
    const bool remote = status > 100;
    switch (classifyStatus(status)) {
        case StatusClass::None:
            return "-";
        case StatusClass::Good:
            return status == 100 ? "ok (remote)" : "ok";
        case StatusClass::Retry:
            return "retrying";
        case StatusClass::BadReply:
            return remote ? "bad remote reply" : "bad reply";
        case StatusClass::NoReply:
            return remote ? "no remote reply" : "no reply";
        case StatusClass::WrongLength:
            return remote ? "remote length" : "wrong length";
        case StatusClass::OtherGiveUp:
            break;
    }
    return "failed";
}

std::string statusCell(int status, int exceptionCode) {
    if (status < 0) return "-";
    const std::string code = std::to_string(status) + " ";
    if (exceptionCode > 0 && !isGood(status)) return code + exceptionText(exceptionCode);
    return code + statusText(status);
}

}  // namespace plchost
