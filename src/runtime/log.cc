#include "runtime/log.h"

#include <cctype>
#include <cstdarg>
#include <ctime>

#include "qrx/env_vars.h"
#include "runtime/clock.h"
#include "runtime/trace.h"

namespace qrx {

std::FILE* stder = nullptr;

namespace {

// Writes one formatted line; the full severity table and wrapping build on it.
int write_line(char severity, const char* id, const char* format, va_list args) {
  char text[8192];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0) std::snprintf(text, sizeof text, " *** vsprintf error **** ");
  char prefix[64] = "";
  if (id && *id && *id != ' ') {
    std::time_t now = the_clock().now();
    std::tm tm{};
    localtime_r(&now, &tm);
    std::snprintf(prefix, sizeof prefix, "%s%c (%02d%02d%02d) ", id,
                  std::toupper(static_cast<unsigned char>(severity)), tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    for (char* p = prefix; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
  std::FILE* out = stder ? stder : stdout;
  return std::fprintf(out, "%s%s", prefix, text);
}

}  // namespace

void init_PRINT() {}

int PRINT(char severity, const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = write_line(severity, id, format, args);
  va_end(args);
  return n;
}

int u_msg(const char*, const char*, int, const char* options, const char* id, const char* format,
          ...) {
  va_list args;
  va_start(args, format);
  int n = write_line(options && *options ? *options : 'T', id, format, args);
  va_end(args);
  return n;
}

std::FILE* u_openPRINTfile(const char*) { return nullptr; }

std::string u_createOutputFileName(const char* base) { return base ? base : ""; }

void check_limit(std::FILE**, const char*, int*) {}

void close_PRINT() {
  if (stder) std::fclose(stder);
  stder = nullptr;
}

}  // namespace qrx
