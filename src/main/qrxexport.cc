// qrxexport: serves a running collector's rows as Prometheus metrics. All logic lives in the library.
#include <cstdio>

#include "agent/metrics_http.h"

int main(int argc, char** argv) { return qrx::export_main(argc, argv, stdout, stderr); }
