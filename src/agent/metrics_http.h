// qrxexport: the collector's rows and health served over HTTP as Prometheus
// or OpenMetrics metrics, an agent on the collector's channel like qrxprobe.
// The HTTP server (cpp-httplib) lives behind this one entry point.
#pragma once

#include <cstdio>

namespace qrx {

// Exit statuses of qrxexport; a non-zero one comes with a message on standard error.
enum ExportExit : int {
  kExportStopped = 0,       // ended by SIGTERM or SIGINT
  kExportListenFailed = 1,  // the address could not be bound
  kExportUsage = 2,         // a refused command line, metrics file or cursor file
};

// Runs `qrxexport [OPTION ...]` until SIGTERM or SIGINT, logging to `err`;
// --help goes to `out`. Returns an ExportExit.
int export_main(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qrx
