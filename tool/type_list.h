// --list-types: the register-type codes as plc-host's -t takes them, from
// the driver's one table (src/register_types.h).
#ifndef PLCHOST_TYPE_LIST_H
#define PLCHOST_TYPE_LIST_H

#include <string>

namespace plchost {

std::string renderRegisterTypes();

}  // namespace plchost

#endif  // PLCHOST_TYPE_LIST_H
