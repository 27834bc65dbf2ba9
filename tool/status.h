// The status codes of the record DataCom returns, classified for the screen,
// the statistics and the exit status.
//
//   1, 100            good reply (100: remote reply)
//   0                 bad reply, the frame will be repeated
//   11..22, 111..122  given up: bad reply (fails the station/CRC check)
//   41..52, 141..152  given up: no reply
//   71..82, 171..182  given up: wrong length
// The last digit grows with the request's kind (0..11), so 11 + kind.
#ifndef PLCHOST_STATUS_H
#define PLCHOST_STATUS_H

#include <string>

namespace plchost {

enum class StatusClass { None, Good, Retry, BadReply, NoReply, WrongLength, OtherGiveUp };

// -1 (no exchange yet) gives None.
StatusClass classifyStatus(int status);
bool isGood(int status);    // 1 or 100
bool isRetry(int status);   // 0: the frame will be repeated
bool isGiveUp(int status);  // anything else >= 0: the request was given up
// "ok", "ok (remote)", "retrying", "no reply", "bad remote reply", ...; "-" for -1.
const char* statusText(int status);
// The code and its text, "71 wrong length"; when the reply was a Modbus
// exception (exceptionCode > 0) the exception replaces the text:
// "71 exception 02 illegal data address". "-" when there was no exchange.
std::string statusCell(int status, int exceptionCode);

}  // namespace plchost

#endif  // PLCHOST_STATUS_H
