// Strict parsing of the values people type on a command line or in a project
// file, shared by plc-host and plc-sim. Every parser takes the whole text or
// nothing: no trailing junk, no silent wrap into a narrower type, no
// implicit octal. On failure the message says what was wrong and what is
// accepted ("-c: 70000 is out of range 1..65535" is built by the caller from
// the "70000 is out of range 1..65535" given here).
#ifndef PLC_COMMON_CLI_VALUES_H
#define PLC_COMMON_CLI_VALUES_H

#include <string>
#include <string_view>
#include <vector>

namespace plc::cli {

// An integer in [min, max]: decimal with an optional sign, or 0x/0X hex and
// 0b/0B binary without a sign. Leading zeros are decimal ("010" is ten).
bool parseInteger(std::string_view text, long long min, long long max, long long* out,
                  std::string* error);
// The same for an int target; min and max must lie in int's range.
bool parseInt(std::string_view text, int min, int max, int* out, std::string* error);

// A finite decimal real in [min, max] ("1.5", "2", "1e-3"); no nan or inf.
bool parseReal(std::string_view text, double min, double max, double* out, std::string* error);

// Comma-separated integers in [min, max], at least one, no repeats:
// "1", "1,2,5".
bool parseIntList(std::string_view text, int min, int max, std::vector<int>* out,
                  std::string* error);

// Parity names: none|even|odd, or N|E|O in either case; gives 'N', 'E' or 'O'.
bool parseParity(std::string_view text, char* out, std::string* error);

// A baud rate the serial set-up supports (plc::serial::supportedBauds); the
// message lists them.
bool parseBaud(std::string_view text, int* out, std::string* error);

// Splits at every separator, keeping empty parts: "a,,b" gives three parts.
std::vector<std::string_view> split(std::string_view text, char separator);

}  // namespace plc::cli

#endif  // PLC_COMMON_CLI_VALUES_H
