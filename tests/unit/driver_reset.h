// Puts the driver back to its load-time state between tests and fuzz inputs.
// Free of any test framework, so the fuzzers link it too.
#ifndef PLC_DRIVER_RESET_H
#define PLC_DRIVER_RESET_H

namespace plctest {

// Empties PLC_driver's lists, pending frames, callbacks, switched-off
// stations and scheduler state, and the register image, without going
// through the host API. The COMINFO block is forgotten too.
void resetDriver();

}  // namespace plctest

#endif
