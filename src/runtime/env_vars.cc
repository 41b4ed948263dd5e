#include "qrx/env_vars.h"

namespace qrx {

EnvVars env_vars;
MachineId machine_id;
volatile int go_home = 0;
std::string coll_disable_cursors;

}  // namespace qrx
