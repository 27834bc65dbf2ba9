// The ranges plc-host accepts for its settings, the same from the command
// line and from a project file.
#ifndef PLCHOST_SETTING_RANGES_H
#define PLCHOST_SETTING_RANGES_H

#include "register_types.h"

namespace plchost {

struct Range {
    int min, max;
};

namespace limits {
constexpr Range kStation{1, 247};       // Modbus unicast addresses
constexpr Range kWriteStation{0, 247};  // 0: a broadcast write
constexpr Range kRegisterType{0, plc::kRegisterTypeCount - 1};
// A simulator preset's unit: bit numbers inside words run to 65536 x 16 - 1.
constexpr Range kSimUnit{0, 65536 * 16 - 1};
constexpr Range kCount{1, 65535};
constexpr Range kDataBits{7, 8};
constexpr Range kStopBits{1, 2};
constexpr Range kTimeoutMs{1, 60000};
constexpr Range kTurnaroundMs{0, 60000};
constexpr Range kPollIntervalMs{0, 3600000};
constexpr Range kByteTimeoutMs{1, 10000};
constexpr Range kRtsDelayMs{0, 1000};
constexpr Range kBlockSize{1, 250};
constexpr Range kRetryMax{0, 100};
constexpr Range kRunMode{0, 255};
constexpr Range kBackoffGiveUps{0, 1000};
constexpr Range kBackoffDelayMs{0, 3600000};
constexpr Range kSimTurnaroundMs{0, 1000};
constexpr Range kSimBurstMs{0, 1000};
}  // namespace limits

}  // namespace plchost

#endif  // PLCHOST_SETTING_RANGES_H
