// Reloading the definitions in the running process (SIGHUP, a restart
// request): the control files are read into new definitions under the
// environment file's settings (COLL_ENV_FILE) as they now stand. Sound ones
// take over the rows of the cursors they leave unchanged and replace the
// definitions in use; faulty ones are dropped and everything the build set
// outside them is put back. The channel and the session stay up throughout.
#pragma once

#include <memory>
#include <vector>

#include "base/env_vars.h"
#include "base/settings.h"
#include "base/trace.h"
#include "ctl/definitions.h"

namespace qrx {

// The definitions the collector runs on and what start-up had before it read
// them, which every reload starts from again. The collector owns one for its
// whole life; the hooks reach the definitions through it, so that they follow
// a reload.
struct DefinitionsInUse {
  std::unique_ptr<Definitions> defs;
  EnvVars command_line;                    // the settings the command line gave
  std::vector<DictParm> command_line_parms;  // the dictionary parameters it named
  TraceState start_trace;                  // tracing from the command line and COLL_DEBUG
};

// Builds new definitions from the control files and the environment file.
// When they are sound and keep every setting that fixes the process's
// identity, carries the rows of unchanged cursors over, puts them in
// `in_use.defs` (the old ones are destroyed), ends the session when a logon
// setting changed (else only lifts the invalid-logon stop), logs "cgn1561"
// and returns them. Otherwise logs every
// fault with its location, then "cml1561" with the reason, leaves the
// definitions, the settings and the environment as they were and returns null.
Definitions* reload_definitions(DefinitionsInUse& in_use);

// Moves the rows and run state of every cursor of `from` that `to` defines
// the same way (same name, same statements, no conditional sections; the
// cursors it takes its layout from kept as well) to its cursor in `to`, and
// the run state of the distributors to those of the same name. Returns the
// number of cursors that kept their rows.
int carry_over(Definitions& from, Definitions& to);

}  // namespace qrx
