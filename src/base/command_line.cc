#include "base/command_line.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/trace.h"

namespace qrx {

DdbOptions ddb_options;

namespace {

constexpr int kMaxNestedFiles = 10;

enum class Effect {
  text,     // sets a settings field to the value
  number,   // sets maxread to the value (unsigned decimal)
  initfile, // remembers the value
  console,  // a flag without value
  version,  // version listing of the following words
  debug,    // trace everything
  echo,     // log each recognised option
};

// One option: matched when its text, from `min_length` characters up to the
// keyword's length, begins the keyword (ignoring case). Every row is the
// collector's; `probe` marks the settings qrxprobe takes as well.
struct OptionRow {
  const char* keyword;
  int min_length;
  Effect effect;
  std::string EnvVars::*field = nullptr;
  bool probe = false;
};
constexpr bool kProbeToo = true;

// First pass, before the log exists. -dbhome and -dbversion are listed so
// that they do not fall into the debug row "d".
constexpr OptionRow kFirstPass[] = {
    {"rdbms", 3, Effect::text, &EnvVars::serverid, kProbeToo},
    {"dbtype", 3, Effect::text, &EnvVars::db_type, kProbeToo},
    {"tempdir", 4, Effect::text, &EnvVars::tmpdir, kProbeToo},
    {"logonid", 3, Effect::text, &EnvVars::logonid},
    {"logsdir", 3, Effect::text, &EnvVars::coll_home, kProbeToo},
    {"ctldir", 3, Effect::text, &EnvVars::ctl_home, kProbeToo},
    {"errlog", 3, Effect::text, &EnvVars::errorlog},
    {"password", 3, Effect::text, &EnvVars::password},
    {"version", 3, Effect::version},
    {"console", 3, Effect::console},
    {"dbhome", 6, Effect::text, &EnvVars::db_home},
    {"dbversion", 5, Effect::text, &EnvVars::db_version},
    {"d", 1, Effect::debug},
    {"v", 1, Effect::echo},
};

// Second pass over the expanded words; first match wins.
constexpr OptionRow kSecondPass[] = {
    {"logonid", 5, Effect::text, &EnvVars::logonid},
    {"loginid", 5, Effect::text, &EnvVars::logonid},
    {"password", 4, Effect::text, &EnvVars::password},
    {"ctldir", 3, Effect::text, &EnvVars::ctl_home, kProbeToo},
    {"rdbms", 3, Effect::text, &EnvVars::serverid, kProbeToo},
    {"serverid", 6, Effect::text, &EnvVars::serverid, kProbeToo},
    {"logsdir", 4, Effect::text, &EnvVars::coll_out, kProbeToo},
    {"errlog", 3, Effect::text, &EnvVars::errorlog},
    {"log", 3, Effect::text, &EnvVars::errorlog},
    {"dbtype", 3, Effect::text, &EnvVars::db_type, kProbeToo},
    {"ltempdir", 5, Effect::text, &EnvVars::localtmpdir, kProbeToo},
    {"tempdir", 4, Effect::text, &EnvVars::tmpdir, kProbeToo},
    {"maxread", 4, Effect::number},
    {"dbhome", 6, Effect::text, &EnvVars::db_home},
    {"dbversion", 5, Effect::text, &EnvVars::db_version},
    {"console", 7, Effect::console},
    {"initfile", 4, Effect::initfile},
    {"version", 3, Effect::version},
    {"debug", 1, Effect::debug},
};

// What the passes keep of the process's own command line (one per process).
struct CommandLine {
  std::vector<std::string> expanded_words;
  // Password values as they stand in the process's argument area, for scrubbing.
  std::vector<char*> password_values;
};
CommandLine command_line;

const OptionRow* match_option(const char* text, std::span<const OptionRow> table) {
  for (const OptionRow& row : table) {
    int length = static_cast<int>(std::strlen(row.keyword));
    if (u_chktoken(text, row.keyword, length, row.min_length) == 0) return &row;
  }
  return nullptr;
}

// The value glued to the option ("-rdbmsORCL"), or null when there is none.
const char* glued_value(const char* text, const OptionRow& row) {
  size_t length = std::strlen(row.keyword);
  return std::strlen(text) > length ? text + length : nullptr;
}

// Switches on the trace slot of every "d" among the first ten characters.
void set_d_slots(const char* text) {
  for (int slot = 0; slot <= my_trace_all_l && text[slot]; ++slot)
    if ((text[slot] | 0x20) == 'd' && my_trace_all[slot] == 0) my_trace_all[slot] = 1;
}

bool starts_with_nocase(std::string_view word, std::string_view prefix) {
  if (word.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if ((word[i] | 0x20) != (prefix[i] | 0x20)) return false;
  return true;
}

// Words of an argument file: white space separates; a word opened by a
// quote runs to the matching quote, blanks included, without the quotes.
std::vector<std::string> split_argument_file(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < text.size()) {
    if (blank(text[i])) {
      ++i;
    } else if (text[i] == '"' || text[i] == '\'') {
      size_t close = text.find(text[i], i + 1);
      if (close == std::string_view::npos) close = text.size();
      words.emplace_back(text.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      size_t end = i;
      while (end < text.size() && !blank(text[end])) ++end;
      words.emplace_back(text.substr(i, end - i));
      i = end;
    }
  }
  return words;
}

// Words of argument file `path`; ends the process when it cannot be read.
std::vector<std::string> load_argument_file(const std::string& path) {
  errno = 0;
  auto content = u_loadfile(path.c_str());
  int error = errno;
  if (content) return split_argument_file(*content);
  if (file_exists(path.c_str(), 0) == 1) return {};  // an empty file adds no words
  if (error == 0) error = ENOENT;
  PRINT('e', "utf0010", "Include file \"%s\" errno=%i %s\n", path.c_str(), error,
        std::strerror(error));
  std::exit(95);
}

}  // namespace

void parse_argv(int argc, char** argv) {
  bool echo = false;
  command_line.password_values.clear();
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    const char* text = argv[i] + 1;
    const OptionRow* row = match_option(text, kFirstPass);
    if (row == nullptr) {
      const char* value = i + 1 < argc ? argv[++i] : "";
      add_dict_parm(text, value);
      continue;
    }
    const char* value = "";
    switch (row->effect) {
      case Effect::text:
        value = glued_value(text, *row);
        if (value == nullptr) value = i + 1 < argc ? argv[++i] : "";
        if (*value) env_vars.*row->field = value;
        if (*value && row->field == &EnvVars::password)
          command_line.password_values.push_back(const_cast<char*>(value));
        break;
      case Effect::version:
        // The listing itself is produced by the second pass.
        while (i + 1 < argc && argv[i + 1][0] == '-') ++i;
        break;
      case Effect::debug:
        trace_all = 1;
        trace_something = 1;
        set_d_slots(text);
        echo = true;
        break;
      case Effect::echo:
        set_d_slots(text);
        echo = true;
        break;
      default:
        break;
    }
    // The echo shows a password as the log does, never in the clear.
    if (echo)
      PRINT('t', "cpa1532", "%s=%s.\n", row->keyword,
            row->field == &EnvVars::password && *value ? "***" : value);
  }
}

const std::vector<std::string>& parseCmdline(int argc, char** argv) {
  // Each word carries the nesting depth of the argument file it came from.
  std::vector<std::pair<std::string, int>> words;
  for (int i = 0; i < argc; ++i) words.emplace_back(argv[i], 0);
  command_line.expanded_words.clear();
  size_t i = 0;
  while (i < words.size()) {
    const std::string& word = words[i].first;
    int depth = words[i].second;
    if (starts_with_nocase(word, "-ddd")) {
      trace_set(word.c_str());
      words.erase(words.begin() + i);
    } else if (word.starts_with("-testI32Cap") || word.starts_with("-testI64Cap")) {
      (word[6] == '3' ? ddb_options.test_i32_cap : ddb_options.test_i64_cap) = true;
      words.erase(words.begin() + i);
    } else if (word == "-filein" || word.starts_with("@")) {
      bool at = word[0] == '@';
      std::string path = at ? word.substr(1) : i + 1 < words.size() ? words[i + 1].first : "";
      if (depth + 1 > kMaxNestedFiles) {
        PRINT('e', "utf0015", "Nested file %s exceded max of 10 files\n", path.c_str());
        std::exit(15);
      }
      std::vector<std::string> inserted = load_argument_file(path);
      words.erase(words.begin() + i, words.begin() + i + (at ? 1 : 2));
      size_t at_index = i;
      for (std::string& inserted_word : inserted)
        words.emplace(words.begin() + at_index++, std::move(inserted_word), depth + 1);
    } else {
      command_line.expanded_words.push_back(word);
      ++i;
    }
  }
  return command_line.expanded_words;
}

int parseDDBCmdline(const std::vector<std::string>& words) {
  size_t start = 0;
  if (words.size() >= 2 && words[0][0] != '-' && words[1][0] == '-' && words[0].size() > 4)
    start = 1;
  bool version = false;
  bool debug = false;
  size_t i = start;
  while (i < words.size() && words[i][0] == '-') {
    const char* text = words[i].c_str() + 1;
    const OptionRow* row = match_option(text, kSecondPass);
    if (row == nullptr) break;
    ++i;
    if (row->effect == Effect::version) {
      version = true;
      break;
    }
    if (row->effect == Effect::debug) {
      debug = true;
      continue;
    }
    if (row->effect == Effect::console) {
      ddb_options.console = true;
      continue;
    }
    const char* value = glued_value(text, *row);
    if (value == nullptr && i < words.size() && words[i][0] != '-') value = words[i++].c_str();
    if (value == nullptr) continue;
    if (row->effect == Effect::text) {
      env_vars.*row->field = value;
    } else if (row->effect == Effect::initfile) {
      ddb_options.initfile = value;
    } else {
      uint32_t number = 0;
      const char* end = value + std::strlen(value);
      auto [ptr, ec] = std::from_chars(value, end, number);
      if (ec == std::errc() && ptr == end) env_vars.maxread = number;
    }
  }
  if (version) {
    print_version_headers(std::span(words).subspan(i));
    std::exit(0);
  }
  if (debug) trace_set("azzzzzzzzz");
  return static_cast<int>(i - start);
}

int scrub_command_line_password() {
  const int scrubbed = static_cast<int>(command_line.password_values.size());
  for (char* value : command_line.password_values) std::memset(value, '*', std::strlen(value));
  command_line.password_values.clear();
  return scrubbed;
}

int take_probe_option(std::span<char* const> words, size_t i) {
  const char* text = words[i] + 1;
  // The word must mean the same to both of the collector's passes as to the
  // probe: the first matching row of each pass, and a setting the probe takes.
  const OptionRow* rows[] = {match_option(text, kFirstPass), match_option(text, kSecondPass)};
  bool taken = false;
  for (const OptionRow* row : rows) {
    if (row && !row->probe) return 0;
    taken = taken || row;
  }
  if (!taken) return 0;
  const OptionRow& named = rows[0] ? *rows[0] : *rows[1];
  const char* value = glued_value(text, named);
  int consumed = 1;
  if (value == nullptr) {
    if (i + 1 >= words.size() || words[i + 1][0] == '-') return -1;
    value = words[i + 1];
    consumed = 2;
  }
  for (const OptionRow* row : rows)
    if (row) env_vars.*row->field = value;
  return consumed;
}

int DDB_getenv(int argc, char** argv, EnvVars* command_line) {
  const std::vector<std::string>& words = parseCmdline(argc, argv);
  int consumed = words.empty() ? 0 : parseDDBCmdline(words);
  if (command_line) *command_line = env_vars;
  get_envs(env_vars);
  return consumed;
}

}  // namespace qrx
