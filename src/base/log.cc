#include "base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/env_vars.h"
#include "base/files.h"
#include "base/text.h"
#include "base/time_text.h"
#include "base/trace.h"

namespace qrx {

std::FILE* stder = nullptr;
std::string msgPrefix;
int NumberOfCollectors = 1;

namespace {

constexpr char kDefaultBase[] = "col.out";
constexpr char kRedirectBase[] = "col.log";
constexpr char kRetryBase[] = "colx.out";
constexpr int kDefaultWrapLines = 30000;
constexpr int kMaxBackups = 9999;
constexpr char kFormatError[] = " *** vsprintf error **** ";
constexpr char kProductVersion[] = "1.0.0";

// How a severity letter (upper-cased) is shown and where its message goes.
struct SeverityRule {
  char letter;
  char shown;   // 0: the message has no prefix
  bool echo;    // copy to standard error
};

constexpr SeverityRule kSeverities[] = {
    {'A', 'I', true},  {'E', 'E', true},  {'S', 'S', true},  {'I', 'I', false}, {'W', 'W', false},
    {'T', 'T', false}, {'H', 'T', false}, {'-', 0, false},   {'\0', 0, false},
};

SeverityRule rule_for(char letter) {
  for (const SeverityRule& rule : kSeverities)
    if (rule.letter == letter) return rule;
  return {letter, letter, true};
}

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// What callers set on the log of the process; kept when the log is closed
// and opened again.
struct LogOptions {
  std::FILE* out_override = nullptr;  // standard streams in place of stdout and stderr
  std::FILE* err_override = nullptr;
  std::string message_location;       // shown after error and severe messages
  std::string first_located_fault;    // the first location shown since it was taken
  bool quiet_notices = false;
  bool muted = false;
};
LogOptions options;

std::FILE* std_out() { return options.out_override ? options.out_override : stdout; }
std::FILE* std_err() { return options.err_override ? options.err_override : stderr; }

bool is_std_stream(std::FILE* f) { return f == std_out() || f == std_err(); }

// Settings read once per log lifetime, and the counters of the wrap check.
struct LogState {
  std::string file_name;
  std::string base = kDefaultBase;  // base of the open log, for wrapping
  int backups = -1;                 // -1: COLL_NUMOUTBAK not read yet
  int wrap_limit = -1;              // -1: COLL_WRAPLINES not read yet
  int log_lines = 0;
  int echo_lines = 0;
  int open_failures = 0;
};

LogState state;

int backup_count() {
  if (state.backups >= 0) return state.backups;
  const char* value = std::getenv("COLL_NUMOUTBAK");
  long count;
  if (!value || !*value) {
    count = trace_level(4) ? 5 : 1;
  } else {
    count = std::strtol(value, nullptr, 10);
    if (count < -kMaxBackups) count = kMaxBackups;
    else if (count < -9) count = -count;
    else if (count < 0) count = 0;
    else if (count >= 10) count = 9;
  }
  state.backups = static_cast<int>(count);
  return state.backups;
}

int wrap_limit() {
  if (state.wrap_limit >= 0) return state.wrap_limit;
  const char* value = std::getenv("COLL_WRAPLINES");
  long limit = value && *value ? std::strtol(value, nullptr, 10) : kDefaultWrapLines;
  if (limit < 0) limit = 0;
  state.wrap_limit = static_cast<int>(std::min<long>(limit, 1L << 30));
  return state.wrap_limit;
}

// `name` with its last character replaced by the backup number.
std::string backup_name(const std::string& name, int number) {
  return name.substr(0, name.size() - 1) + std::to_string(number);
}

void rotate_backups(const std::string& name, int count) {
  if (count <= 0 || name.empty()) return;
  std::remove(backup_name(name, count).c_str());
  for (int k = count - 1; k >= 1; --k)
    std::rename(backup_name(name, k).c_str(), backup_name(name, k + 1).c_str());
  std::rename(name.c_str(), backup_name(name, 1).c_str());
}

// Mode of every log file, whatever the umask.
constexpr mode_t kLogMode = 0640;

// Opens the log file `name` (truncated, or appended to when `append`) as a
// file of this process: see open_owned_file.
int open_log_file(const std::string& name, bool append) {
  return open_owned_file(name.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC),
                         kLogMode);
}

// Points standard output and standard error at `name` (append); null when
// the file cannot be opened, leaving both streams as they were.
std::FILE* redirect_std_streams(const std::string& name) {
  const int fd = open_log_file(name, true);
  if (fd < 0) return nullptr;
  std::fflush(std_out());
  std::fflush(std_err());
  const bool moved = dup2(fd, fileno(std_out())) >= 0 && dup2(fd, fileno(std_err())) >= 0;
  ::close(fd);
  if (!moved) return nullptr;
  std::clearerr(std_out());
  std::clearerr(std_err());
  return std_err();
}

// The log file `name`, truncated; null when it cannot be opened.
std::FILE* open_log_stream(const std::string& name) {
  const int fd = open_log_file(name, false);
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, "w");
  if (!f) ::close(fd);
  return f;
}

std::string vformat(const char* format, va_list args) {
  if (!format) return kFormatError;
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return kFormatError;
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

bool usable_id(const char* id) { return id && *id && *id != ' '; }

LineWriter line_writer = &::write;
// The stream whose last line was cut and could not be taken back: its next
// line starts on a line of its own.
std::FILE* cut_stream = nullptr;

// Writes `line` to `f` with one call, so that a full disk never leaves part
// of it for the next line to be appended to: a short write is taken back.
// Returns the characters written, or -1 when the line is not in the file.
int write_line(std::FILE* f, std::string line) {
  const int fd = fileno(f);
  if (fd < 0) return std::fputs(line.c_str(), f) < 0 ? -1 : static_cast<int>(line.size());
  if (std::fflush(f) != 0) std::clearerr(f);  // what others wrote through `f` goes first
  if (f == cut_stream) line.insert(0, 1, '\n');
  const ssize_t n = line_writer(fd, line.data(), line.size());
  if (n == static_cast<ssize_t>(line.size())) {
    if (f == cut_stream) cut_stream = nullptr;
    return static_cast<int>(n);
  }
  if (n > 0) {
    // The written part ends at the offset: cut the file back to where it
    // began; a pipe or terminal cannot be, so its next line starts afresh.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < n || ftruncate(fd, end - n) != 0 || lseek(fd, end - n, SEEK_SET) < 0) cut_stream = f;
  }
  return -1;
}

// Writes one finished message: log or standard output, then the echo.
int emit(const std::string& prefix, const std::string& text, bool echo) {
  if (stder) check_limit(&stder, state.base.c_str(), &state.log_lines);
  std::FILE* echo_stream = std_err();
  if (echo) {
    check_limit(&echo_stream, kRedirectBase, &state.echo_lines);
    if (!echo_stream || echo_stream == stder) echo = false;
  }
  const std::string line = prefix + text;
  int written = 0;
  if (stder) {
    written = write_line(stder, line);
  } else if (!echo) {
    written = write_line(std_out(), msgPrefix + line);
  }
  if (written < 0 || (written == 0 && (stder || !echo))) {
    write_line(std_err(), "+ " + line);
    return 1;
  }
  if (echo) {
    const int echoed = write_line(echo_stream, line);
    if (written == 0) written = echoed;
  }
  return written > 0 ? written : 1;
}

void upper_case(std::string& text) {
  for (char& c : text) c = upper(c);
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

std::string u_createOutputFileName(const char* base) {
  std::string name;
  if (!env_vars.coll_out.empty()) name += env_vars.coll_out + "/";
  if (!env_vars.hostname.empty()) name += env_vars.hostname + "_";
  if (env_vars.db_type.size() > 1) name += env_vars.db_type.substr(1) + "_";
  if (!env_vars.serverid.empty()) name += env_vars.serverid + "_";
  name += base && *base ? base : kDefaultBase;
  return name;
}

std::FILE* u_openPRINTfile(const char* base) {
  const std::string chosen = base && *base ? base : kDefaultBase;
  const std::string name = u_createOutputFileName(chosen.c_str());
  rotate_backups(name, backup_count());
  const bool redirect = chosen == kRedirectBase;
  std::FILE* f = redirect ? redirect_std_streams(name) : open_log_stream(name);
  if (!f) {
    state.file_name.clear();
    if (state.open_failures++ == 0) {
      std::fprintf(std_out(), "CAT1995E - Can't open message ouput file: %s\n", name.c_str());
      std::fflush(std_out());
      return u_openPRINTfile(kRetryBase);
    }
    return nullptr;
  }
  state.file_name = name;
  state.base = chosen;
  if (!redirect) {
    if (stder && stder != f && !is_std_stream(stder)) std::fclose(stder);
    stder = f;
  }
  return f;
}

void check_limit(std::FILE** stream, const char* base, int* counter) {
  if (!counter) return;
  const int limit = wrap_limit();
  if (limit == 0 || ++*counter < limit) return;
  *counter = 0;
  const std::string chosen = base ? base : "";  // `base` may point into this module's state
  const bool redirect = chosen == kRedirectBase;
  // The redirected standard streams are reopened in place by u_openPRINTfile.
  if (stream && *stream && !redirect && !is_std_stream(*stream)) {
    std::FILE* old = *stream;
    if (old == stder) stder = nullptr;
    *stream = nullptr;
    std::fclose(old);
  }
  std::FILE* reopened = u_openPRINTfile(chosen.c_str());
  if (reopened)
    write_line(reopened, "       File wrapped -- " + u_get_time(kTimeLocale) + "\n");
  if (stream) *stream = reopened;
}

namespace {

// True for a message that set_quiet_notices or set_muted drops.
bool dropped(char letter) {
  return options.muted ||
         (options.quiet_notices && (letter == 'A' || letter == 'I' || letter == 'T' || letter == 'H'));
}

// Writes the location line after an error or severe message, when one is set.
void emit_location(char letter, const SeverityRule& rule) {
  if (options.message_location.empty() || (letter != 'E' && letter != 'S')) return;
  if (options.first_located_fault.empty()) options.first_located_fault = options.message_location;
  emit("", "  at " + options.message_location + "\n", rule.echo);
}

}  // namespace

void set_message_location(std::string where) { options.message_location = std::move(where); }

const std::string& current_message_location() { return options.message_location; }

std::string take_first_fault_location() { return std::exchange(options.first_located_fault, {}); }

void set_quiet_notices(bool quiet) { options.quiet_notices = quiet; }

void set_muted(bool mute) { options.muted = mute; }

int PRINT(char severity, const char* id, const char* format, ...) {
  const char letter = upper(severity);
  if (letter == '@') {
    msgPrefix = id ? id : "";
    return 0;
  }
  if ((letter == 'H' && trace_level(0) == 0) || dropped(letter)) return 1;
  const SeverityRule rule = rule_for(letter);
  std::string prefix;
  if (rule.shown && usable_id(id)) {
    if (*id == '.') {
      prefix = id + 1;
    } else {
      prefix = std::string(id) + rule.shown + " (" + u_local_time() + ") ";
    }
    upper_case(prefix);
  }
  va_list args;
  va_start(args, format);
  const std::string text = vformat(format, args);
  va_end(args);
  const int written = emit(prefix, text, rule.echo);
  emit_location(letter, rule);
  return written;
}

int u_msg(const char* text, const char* source_file, int line, const char* options,
          const char* id, const char* format, ...) {
  const char* opt = options && *options ? options : "T";
  const char letter = upper(*opt++);
  if (letter == '@') {
    msgPrefix = id ? id : "";
    return 0;
  }

  std::string prefix;
  std::string body;
  SeverityRule rule{};
  if (letter == 'X') {
    // A finished message: identifier and severity stand in its first 9 characters.
    const std::string message = format ? format : "";
    if (message.size() >= 9) {
      prefix = message.substr(0, 9);
      body = message.substr(9);
      rule = rule_for(upper(message[7]));
    } else {
      body = message;
      rule = rule_for('T');
    }
  } else {
    if (letter == 'H') {
      int slot = 0;
      bool digits = false;
      while (std::isdigit(static_cast<unsigned char>(*opt))) {
        slot = std::min(slot * 10 + (*opt++ - '0'), 100);
        digits = true;
      }
      if (trace_level(digits ? slot : 0) == 0) return 1;
    }
    rule = rule_for(letter);
    va_list args;
    va_start(args, format);
    body = vformat(format, args);
    va_end(args);
  }
  if (dropped(rule.letter)) return 1;

  bool abort_after = false;
  bool with_prefix = rule.shown != 0;
  bool with_position = true;
  bool with_time = letter == 'T' || letter == 'H';
  bool keep_case = false;
  for (; *opt; ++opt) {
    switch (*opt) {
      case '*': abort_after = true; break;
      case '-': return 0;
      case 'F':
      case 'f': break;  // every line reaches the file when written
      case 'H': with_prefix = false; break;
      case 'h': with_prefix = true; break;
      case 'L': rule.echo = false; break;
      case 'l': rule.echo = true; break;
      case 'P': with_position = false; break;
      case 'p': with_position = true; break;
      case 'T': with_time = false; break;
      case 't': with_time = true; break;
      case 'u': keep_case = true; break;
      default: break;
    }
  }

  if (letter != 'X') {
    if (with_prefix && usable_id(id)) {
      if (*id == '.') {
        prefix = id + 1;
      } else {
        prefix = std::string(id) + rule.shown + " ";
        if (with_time) prefix += "(" + u_local_time() + ") ";
      }
      if (with_position && source_file && *source_file)
        prefix += std::string(base_name(source_file)) + "(" + std::to_string(line) + ") ";
      if (text && *text && (NumberOfCollectors > 1 || trace_level(6) > 0))
        prefix += std::string(text) + " ";
    }
    if (!keep_case) upper_case(prefix);
  }
  if (body.empty() || body.back() != '\n') body.push_back('\n');

  const int written = emit(prefix, body, rule.echo);
  emit_location(letter, rule);
  if (abort_after) {
    std::fflush(nullptr);
    std::abort();
  }
  return written;
}

void init_PRINT() {
  if (!stder && !u_openPRINTfile(kDefaultBase))
    PRINT('e', "cat2014", "'.out' open error all messages will go to stdout\n");
  PRINT('a', "cat2015", "qrxcoll database monitoring collector\n");
  PRINT('a', "cat2020", "Version %s\n", kProductVersion);
  PRINT('a', "cat2025", "Copyright the qrxcoll authors. All rights reserved.\n");
  PRINT('a', "cat2030", "Use is subject to the terms of the product licence.\n");
  PRINT('i', "cat2035", "Time = %s\n", u_get_time(kTimeSlashed).c_str());
  print_version_headers();
}

void print_version_headers(std::span<const std::string> modules) {
  // One row per source module of the collector: name, version, check-in
  // date and time, developer id and a free-text stamp.
  struct ModuleHeader {
    const char* name;
    const char* version;
    const char* checkin_date;  // "DDMonYYYY"
    const char* checkin_time;
    const char* devid;
    const char* stamp;
  };
  static constexpr ModuleHeader kModules[] = {
      {"qrxcoll", "1.0.0", "10Dec2026", "00:00:00", "qrx", "collector main and start-up"},
      {"qrxlog", "1.0.0", "10Dec2026", "00:00:00", "qrx", "message log and tracing"},
      {"qrxutil", "1.0.0", "10Dec2026", "00:00:00", "qrx", "text, file and time helpers"},
      {"qrxdate", "1.0.0", "10Dec2026", "00:00:00", "qrx", "date and time normalisation"},
  };
  // __DATE__ is "Mmm dd yyyy".
  static constexpr char kCompileDate[] = __DATE__;
  std::string compile_day(kCompileDate + 4, 2);
  if (compile_day[0] == ' ') compile_day[0] = '0';
  const std::string compile_month(kCompileDate, 3);
  const std::string compile_year(kCompileDate + 7, 4);

  PRINT('i', "ush0100", "program            vv check_in_date_time  devid compile__date_time stamp\n");
  for (const ModuleHeader& m : kModules) {
    if (!modules.empty()) {
      bool wanted = false;
      for (const std::string& name : modules) {
        const std::string_view bare = !name.empty() && name[0] == '-' ? std::string_view(name).substr(1)
                                                                      : std::string_view(name);
        if (u_strlower(bare) == m.name) wanted = true;
      }
      if (!wanted) continue;
    }
    const std::string_view date(m.checkin_date);
    PRINT('i', "ush0100", "%-12.12s %8.8s %2.2s%3.3s%4.4s %8.8s %6.6s %2.2s%3.3s%4.4s %8.8s %.66s\n",
          m.name, m.version, std::string(date.substr(0, 2)).c_str(),
          std::string(date.substr(2, 3)).c_str(), std::string(date.substr(5, 4)).c_str(),
          m.checkin_time, m.devid, compile_day.c_str(), compile_month.c_str(),
          compile_year.c_str(), __TIME__, m.stamp);
  }
}

const std::string& log_file_name() { return state.file_name; }

void close_PRINT() {
  if (stder && !is_std_stream(stder)) std::fclose(stder);
  stder = nullptr;
  state = LogState{};
  msgPrefix.clear();
}

void set_line_writer(LineWriter writer) { line_writer = writer ? writer : &::write; }

void set_std_streams(std::FILE* out, std::FILE* err) {
  options.out_override = out;
  options.err_override = err;
}

}  // namespace qrx
