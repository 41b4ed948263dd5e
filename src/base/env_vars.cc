#include "base/env_vars.h"

namespace qrx {

EnvVars env_vars;
MachineId machine_id;
volatile std::sig_atomic_t go_home = 0;
std::string coll_disable_cursors;

}  // namespace qrx
