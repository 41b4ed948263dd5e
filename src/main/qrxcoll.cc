// qrxcoll: the collector process. All logic lives in the library.
#include "collector/startup.h"

int main(int argc, char** argv) { return qrx::collector_main(argc, argv); }
