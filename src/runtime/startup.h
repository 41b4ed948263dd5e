// The collector's start-up sequence and its exit path.
#pragma once

namespace qrx {

// Runs start-up and the scheduler; returns the process exit status.
int collector_main(int argc, char** argv);

}  // namespace qrx
