// qrxprobe: the agent's side of the channel as a command-line tool. It asks a
// running collector for a cursor's rows, its status or a command and prints
// the reply; all state lives for one call.
#pragma once

#include <cstdio>

namespace qrx {

// Exit statuses of qrxprobe; each non-zero one comes with one line on
// standard error saying what happened.
enum ProbeExit : int {
  kProbeDelivered = 0,          // the reply came: rows, or the command's empty answer
  kProbeChannelError = 1,       // the channel failed or timed out
  kProbeUsage = 2,              // a refused command line, or a parameter that cannot travel whole
  kProbeNone = 3,               // "get" was answered NONE
  kProbeNoCollector = 4,        // no collector runs for the server
  kProbeDistributorFailed = 5,  // "status": a distributor's last run failed
  kProbeLastRunFailed = 6,      // "get" was answered NONE for the cursor's last run failed
  kProbeStaleRows = 7,          // "get" gave rows kept from before the cursor's failed last run
};

// Runs `qrxprobe [options] get CURSOR [PARAM ...] | status | retrace | shutdown`
// (options before or after the command words), printing replies and --help
// to `out` (decoded when their layout is known; --csv, --json) and errors
// and notes to `err`; returns a ProbeExit.
int probe_main(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qrx
