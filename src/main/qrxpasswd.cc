// qrxpasswd: prints the scrambled form of a database password. All logic lives in the library.
#include <cstdio>

#include "base/password_codec.h"

int main(int argc, char** argv) { return qrx::password_tool_main(argc, argv, stdin, stdout, stderr); }
