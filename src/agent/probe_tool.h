// qrxprobe: the agent's side of the channel as a command-line tool. It asks a
// running collector for a cursor's rows, its status or a command and prints
// the reply; all state lives for one call.
#pragma once

#include <cstdio>

namespace qrx {

// Runs `qrxprobe [options] get CURSOR [PARAM ...] | status | retrace | shutdown`,
// printing replies to `out` (decoded when their layout is known; --csv,
// --json) and errors and notes to `err`; returns the exit status (0 success,
// 1 channel error, 2 usage).
int probe_main(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qrx
