// qrxprobe: asks a running collector for data over its channel. All logic lives in the library.
#include <cstdio>

#include "agent/probe_tool.h"

int main(int argc, char** argv) { return qrx::probe_main(argc, argv, stdout, stderr); }
