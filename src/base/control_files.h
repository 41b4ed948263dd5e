// Finding control files on the search path (server directory, server prefix,
// collector home, control home) for each database-type code and alias.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace qrx {

struct FileCloser {
  void operator()(std::FILE* f) const { if (f) std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens the control file for `base` ("proc", "dict", "coll", "trac", "eval")
// for reading; null when none is found. `path_out`, when given, receives the
// path that was opened.
FilePtr u_openInputFile(const char* base, std::string* path_out = nullptr);

// The path u_openInputFile would open for `base`, found without logging;
// empty when there is none.
std::string find_input_file(const char* base);

// Every place find_input_file looks at for `base`, in search order, each
// once, joined by ", ".
std::string input_file_places(const char* base);

}  // namespace qrx
