#include "exits/fetch_exit.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/relative_time.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/text.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/find_col.h"
#include "exec/host_merge.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "exits/merge_results.h"

namespace qrx {

namespace {

constexpr std::size_t kStatusWidth = 16;
constexpr std::size_t kHostNameMax = 49;
constexpr int kTraceLine = 200;
constexpr int32_t kTimedLinesMax = 300;
// Characters of a script text that ask for the shell (a pipeline, a list
// or a redirection); a value put into the text never counts.
constexpr char kShellSyntax[] = ";|<>&";

// The cursor's last code and its 16-character status text.
void set_code(curs& c, int code) {
  const std::string digits = std::to_string(code);
  c.result_code = code;
  c.status.assign(kStatusWidth - digits.size(), ' ');
  c.status += digits;
}

// A run that produced nothing usable.
int fail_run(curs& c, std::string why) {
  set_code(c, -1);
  c.error_text = std::move(why);
  return 1;
}

bool tracing(const curs& c) { return c.trace || trace_all; }

// `text` without trailing blanks and unprintable characters, keeping at
// least one character.
std::string trimmed_value(std::string_view text) {
  std::size_t n = text.size();
  while (n > 1 && (text[n - 1] == ' ' || !std::isprint(static_cast<unsigned char>(text[n - 1]))))
    --n;
  std::string out(text.substr(0, n));
  for (char& ch : out)
    if (!std::isprint(static_cast<unsigned char>(ch))) ch = ' ';
  return out;
}

// The items of an in-list text "( 'A','B' )" each quoted for the shell and
// separated by blanks: list quotes and their doubling are undone first, so
// that no item can end a quote of the shell's.
std::string in_list_words(std::string_view list) {
  if (list.size() >= 2) list = list.substr(1, list.size() - 2);
  std::string out;
  std::size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ' ' || list[i] == ',')) ++i;
    if (i >= list.size()) break;
    std::string item;
    if (list[i] == '\'') {
      ++i;
      while (i < list.size()) {
        if (list[i] == '\'') {
          if (i + 1 < list.size() && list[i + 1] == '\'') {
            item.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item.push_back(list[i++]);
      }
    } else {
      while (i < list.size() && list[i] != ',' && list[i] != ' ') item.push_back(list[i++]);
    }
    if (!out.empty()) out.push_back(' ');
    out += shell_quote(item);
  }
  return out;
}

// The value of host variable `name` for `c`'s command, quoted for the
// shell; nothing after logging. `ids` are the messages of the caller's family.
struct HostIds {
  const char* no_data;    // "No data in cursor (%s) for hv (%s) in script (%s)\n"
  const char* not_found;  // "Script host variable (%s) not found in script %s\n"
};
std::optional<std::string> host_value(curs& c, const std::string& name, const HostIds& ids,
                                      bool for_shell) {
  // Names are looked up among the cursors of `c`'s own set.
  cursor_set& cursors = *c.owning_set;
  const columns* col = nullptr;
  const curs* owner = nullptr;
  const std::size_t dot = name.find('.');
  if (!name.empty() && name[0] == '%') {
    col = find_pcnt_col(cursors, name);
    owner = cursors.percent_cursor;
  } else if (dot == std::string::npos) {
    col = search_curs_vers_insert(c, name);
    owner = &c;
  } else if (curs* other = cursors.find_cursor(name.substr(0, dot))) {
    col = search_curs_vers_insert(*other, name.substr(dot + 1));
    owner = other;
  }
  if (col && owner) {
    const row_data* row = owner == cursors.percent_cursor ? percent_row(cursors) : owner->stored.last();
    if (!row || col->stored_length <= 0) {
      PRINT('e', ids.no_data, "No data in cursor (%s) for hv (%s) in script (%s)\n",
            owner->name.c_str(), name.c_str(), c.script.c_str());
      return std::nullopt;
    }
    const std::string value = trimmed_value(
        std::string_view(row->data() + col->stored_offset, static_cast<std::size_t>(col->stored_length)));
    if (trace_level(6) > 0)
      PRINT('t', "fxr4022", "Host variable '%s' replaced with '%.*s'\n", name.c_str(),
            static_cast<int>(value.size()), value.c_str());
    return for_shell ? shell_quote(value) : value;
  }
  curs* list_owner = dot == std::string::npos ? &c : cursors.find_cursor(name.substr(0, dot));
  if (list_owner) {
    const std::string list_name = dot == std::string::npos ? name : name.substr(dot + 1);
    if (const in_list* list = in_list_by_name(*list_owner, list_name)) {
      if (trace_level(6) > 0) PRINT('t', "fxr4014", "Host variable '%s' is an inlist\n", name.c_str());
      if (for_shell) return in_list_words(list->list);
      std::string words = list->list.size() >= 2 ? list->list.substr(1, list->list.size() - 2) : "";
      std::replace(words.begin(), words.end(), ',', ' ');
      return words;
    }
  }
  PRINT('e', ids.not_found, "Script host variable (%s) not found in script %s\n", name.c_str(),
        c.script.c_str());
  return std::nullopt;
}

bool name_char(char ch) {
  return std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' || ch == '%' ||
         ch == '$';
}

// Completes the parameter text `text` into `out`: "[NAME]" becomes the
// value of NAME, quoted when the text is meant for a shell. False after logging.
bool complete_parameters(curs& c, std::string_view text, std::string& out, const HostIds& ids,
                         bool for_shell) {
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '[') {
      out.push_back(text[i++]);
      continue;
    }
    ++i;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string name;
    while (i < text.size() && name_char(text[i]) && name.size() < kHostNameMax) name.push_back(text[i++]);
    if (i < text.size() && text[i] == ']') ++i;
    const auto value = host_value(c, name, ids, for_shell);
    if (!value) return false;
    out += *value;
  }
  if (out.size() >= kExitParmsMax) {
    PRINT('e', "fxr4016", "Parameters of script %.40s exceed %d characters\n", c.script.c_str(),
          static_cast<int>(kExitParmsMax));
    return false;
  }
  return true;
}

// The command with its product placeholders completed.
std::string product_command(std::string cmd) {
  const std::string& type = env_vars.db_type;
  const std::string& version = env_vars.db_version;
  const auto starts = [](const std::string& s, const char* p) { return s.rfind(p, 0) == 0; };
  if (std::size_t at = cmd.find("xmb##sql"); at != std::string::npos && starts(type, "xmb"))
    cmd.replace(at + 3, 2, starts(version, "11.") || starts(version, "12.") ? "12" : "15");
  if (std::size_t at = cmd.find("#####"); at != std::string::npos) {
    if (starts(type, "xpa")) {
      const char* five = starts(version, "8")    ? "xpa08"
                         : starts(version, "9")  ? "xpa09"
                         : starts(version, "10") ? "xpa10"
                         : starts(version, "11") ? "xpa11"
                                                 : "xpa10";
      cmd.replace(at, 5, five);
    } else {
      cmd.replace(at, 3, type.substr(0, 3));
    }
  }
  if (std::size_t at = cmd.find("###"); at != std::string::npos) cmd.replace(at, 3, type);
  return cmd;
}

// Sets ZRT_RAS1_LOG, the trace-log setting every exit inherits; once.
void set_exit_trace_log() {
  static bool done = false;
  if (done) return;
  done = true;
  std::string setting = "/dev/null";
  if (std::getenv("QRX_COLL_EXE_RAS1")) {
    const char* p = std::getenv("ZRT_VARPREFIX");
    const std::string prefix = p && *p ? p : "%";
    const std::string log = u_createOutputFileName((prefix + "(systask)_" + prefix + "(sysutcstart)-.LOG").c_str());
    const std::string inv = u_createOutputFileName((prefix + "(systask).INV").c_str());
    PRINT('i', "fxr4050", "Fetch Exit ras1 log filename:\"%s\"\n", log.c_str());
    PRINT('i', "fxr4051", "Fetch Exit ras1 inv filename:\"%s\"\n", inv.c_str());
    setting = "\"" + log + "\" INVENTORY=\"" + inv + "\" COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=3";
  }
  if (!std::getenv("ZRT_RAS1")) setenv("ZRT_RAS1", "ERROR", 0);
  PRINT('i', "fxr4052", "Fetch Exit setting zrt_ras1_log:\"%s\"\n", setting.c_str());
  setenv("ZRT_RAS1_LOG", setting.c_str(), 1);
}

// Logs a message line of the exit's output with its own severity.
void pass_message(std::string_view line) {
  const bool four = !(line[3] >= '0' && line[3] <= '9');
  const char severity = static_cast<char>(std::tolower(static_cast<unsigned char>(line[four ? 8 : 7])));
  PRINT(severity, ".>", "%s\n", std::string(line).c_str());
}

// Fills a new row of `table` from `values`; `formatted` keeps values
// unpadded.
void add_row(DB_DATA& table, const std::vector<std::string>& values, bool formatted) {
  ROW_DATA& row = ROW_DATA_init(table);
  for (std::size_t i = 0; i < values.size() && i < row.cols.size(); ++i) {
    ROW_COLUMN& rc = row.cols[i];
    const COLUMN_DATA& d = table.columns[i];
    if (d.length <= 0 || !rc.value) continue;
    const int written =
        convertData(d.length, rc.value, kDataCharacter, static_cast<int>(values[i].size()),
                    values[i].data(), kDataCharacter,
                    formatted ? (kConvTrim | kConvKeepLeft) | kConvNoNul : kConvPad | kConvKeepLeft);
    if (formatted) rc.length = written;
  }
}

// Runs the exit's command by mode; the output lines, or a failure text.
struct RunOutcome {
  exec_lines lines;
  std::string failure;  // empty when the command ran to a good end
};
RunOutcome run_command(fetchExitGlobal& g) {
  RunOutcome out;
  curs& c = *g.cursor;
  if (g.mode == kModeTimed) {
    execopt o;
    if (g.shell_text) o.flags2 |= kExecShellText;
    o.time_limit = g.mode_value > 0 ? static_cast<int32_t>(g.mode_value) : kExitSeconds;
    o.max_lines = c.limit > 0 ? std::min(2 * c.limit, kTimedLinesMax) : 0;
    out.lines = u_exec_timed(g.command.c_str(), g.parms.c_str(), o.time_limit, o);
    if (o.status == kExecNotCreated) out.failure = "could not be started";
    else if (o.status == kExecTimedOut) out.failure = "did not finish in time";
    else if (o.exit_status != 0) out.failure = "ended with status " + std::to_string(o.exit_status);
  } else if (g.mode == kModeDetached) {
    if (u_AsynProcess(g.command.c_str(), g.parms.c_str()) != 0) out.failure = "could not be started";
  } else {
    int status = 0;
    out.lines = u_exec(g.command.c_str(), g.parms.c_str(), &status, default_child_seconds(c));
    if (status != 0) out.failure = "ended with status " + std::to_string(status);
  }
  if (!out.failure.empty())
    PRINT('e', "fxr4060", "Exit %s for cursor %s %s: no rows taken\n", g.command.c_str(),
          c.name.c_str(), out.failure.c_str());
  return out;
}

// A new result table with the cursor's column definitions, which are made
// on first use and kept with the cursor.
std::shared_ptr<DB_DATA> exit_table(curs& c) {
  auto table = std::make_shared<DB_DATA>();
  if (!c.exit_table) {
    convert_2_column_data(c, *table);
    c.exit_table = exit_columns{table->columns, table->max_row_size};
    return table;
  }
  table->columns = c.exit_table->columns;
  table->column_count = static_cast<uint16_t>(table->columns.size());
  table->max_row_size = c.exit_table->max_row_size;
  return table;
}

// The end of a run that produced no rows: a dummy row may stand in.
int no_rows(curs& c) {
  if (c.dummy_last_row || c.conditional_dummy_last_row) {
    ccmr_setup_dummy(c, exit_table(c).get());
    set_code(c, 100);
    return 0;
  }
  return fail_run(c, "the fetch exit returned no rows");
}

}  // namespace

std::vector<std::string> simpleParsing(std::string_view line, std::size_t columns) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (words.size() < columns) {
    while (i < line.size() && (line[i] == ' ' || line[i] == ',' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '\'' || line[i] == '"') {
      const char q = line[i++];
      while (i < line.size() && line[i] != q) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == q) {
          // A backslash before a double quote leaves a blank in its place.
          if (q == '"') word.push_back(' ');
          ++i;
        }
        word.push_back(line[i++]);
      }
      if (i < line.size()) ++i;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != ',' && line[i] != '\t')
        word.push_back(line[i++]);
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::vector<std::string> syntaxParsing(std::string_view line, const std::vector<COLUMN_DATA>& defs) {
  std::vector<std::string> values;
  std::size_t at = 0;
  for (const COLUMN_DATA& d : defs) {
    const auto width = static_cast<std::size_t>(std::max(d.length, 0));
    values.emplace_back(at < line.size() ? line.substr(at, width) : std::string_view());
    at += width;
  }
  return values;
}

std::vector<std::string> tabbedParsing(std::string_view line, std::size_t columns) {
  std::vector<std::string> values;
  std::size_t at = 0;
  while (values.size() < columns && at <= line.size()) {
    std::size_t tab = line.find('\t', at);
    if (tab == std::string_view::npos) tab = line.size();
    values.emplace_back(line.substr(at, tab - at));
    at = tab + 1;
  }
  return values;
}

std::vector<std::string> cformatParsing(std::string_view line, const std::vector<COLUMN_DATA>& defs) {
  std::vector<std::string> values;
  for (const COLUMN_DATA& d : defs) {
    std::string_view v = line.substr(0, static_cast<std::size_t>(std::max(d.length, 0)));
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    values.emplace_back(v);
  }
  return values;
}

std::vector<std::string> procedureParsing(std::string_view line, std::size_t columns) {
  std::vector<std::string> values;
  for (const std::string& piece : tabbedParsing(line, std::string_view::npos)) {
    if (values.size() == columns) break;
    std::string field = u_stripx(piece, 'B');
    if (!field.empty()) values.push_back(std::move(field));
  }
  return values;
}

int default_child_seconds(const curs& c) {
  const int32_t interval = c.collector && c.collector->interval > 0 ? c.collector->interval : c.interval;
  return interval > 0 ? std::min(interval, kDefaultExecSeconds) : kDefaultExecSeconds;
}

void setCurs4exit(fetchExitGlobal& g, curs& c, const std::string& time_stamp) {
  g = fetchExitGlobal{};
  g.cursor = &c;
  g.time_stamp = time_stamp;
  g.routine = c.fetch_exit ? c.fetch_exit->routine : 0;
  g.mode = c.fetch_exit ? c.fetch_exit->mode : 0;
  g.mode_value = c.fetch_exit ? c.fetch_exit->mode_value : 0;
  g.skip = c.start_after;
  g.keep = c.stop_after;
  g.anchor = DBX_init(&env_vars.serverid, &env_vars.logonid, &env_vars.password);
  c.status.assign(kStatusWidth - 1, ' ');
  c.status += '0';
  if (c.show_cursor || trace_all)
    PRINT('i', "fxr5505", "Calling Fetch Exit (%s) for cursor %s at time %s \n",
          c.fetch_exit ? c.fetch_exit->name.c_str() : "", c.name.c_str(),
          get_time(the_clock().now()).c_str());
}

int formatCommand(fetchExitGlobal& g) {
  curs& c = *g.cursor;
  std::string_view script = c.script;
  while (!script.empty() && std::isspace(static_cast<unsigned char>(script.front()))) script.remove_prefix(1);
  std::size_t end = 0;
  while (end < script.size() && !std::isspace(static_cast<unsigned char>(script[end]))) ++end;
  g.command = product_command(std::string(script.substr(0, end)));
  std::string_view rest = script.substr(end);
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
  g.shell_text = script.find_first_of(kShellSyntax) != std::string_view::npos;
  return complete_parameters(c, rest, g.parms, {"fxr4020", "fxr4015"}, true) ? 0 : 1;
}

int parseCmdResults(fetchExitGlobal& g) {
  curs& c = *g.cursor;
  DB_DATA& table = *DB_DATA_init(*g.anchor, exit_table(c), 1);
  const bool trace = tracing(c);
  if (trace) {
    static const char* const kLayouts[] = {"", "get a ST_COLUMNAR type.\n", "get a ST_SIMPLE type.\n",
                                           "get a ST_TABBED type.\n", "get a ST_COLUMNAR type.\n",
                                           "get a ST_FORMATTED type.\n"};
    if (g.routine >= 1 && g.routine <= 5) PRINT('t', "fxr4027", "%s", kLayouts[g.routine]);
  }
  int rows = 0;
  for (const r_exec_chain* l = g.output.get(); l; l = l->next) {
    std::string_view line = l->text;
    if (line.substr(0, 2) == "->") {
      line.remove_prefix(2);
    } else if (u_ismessage(line)) {
      pass_message(line);
      continue;
    }
    if (trace)
      PRINT('t', "fxr4026", "Exit returned:\"%.*s\"\n",
            static_cast<int>(std::min<std::size_t>(line.size(), kTraceLine)), line.data());
    if (g.skip > 0) {
      --g.skip;
      continue;
    }
    std::vector<std::string> values;
    switch (g.routine) {
      case kExitSimple:
        values = simpleParsing(line, table.columns.size());
        if (trace)
          for (std::size_t i = 0; i < values.size(); ++i)
            PRINT('t', "smp1000", "rowdata->col[%d].value =%s len=%d\n", static_cast<int>(i),
                  values[i].c_str(), static_cast<int>(values[i].size()));
        if (values.empty()) continue;  // no word: no row
        break;
      case kExitTabbed: values = tabbedParsing(line, table.columns.size()); break;
      case kExitProcedure: values = procedureParsing(line, table.columns.size()); break;
      case kExitFormatted: values = cformatParsing(line, table.columns); break;
      default: values = syntaxParsing(line, table.columns); break;
    }
    add_row(table, values, g.routine == kExitFormatted);
    ++rows;
    if (g.keep > 0 && --g.keep == 0) break;
  }
  g.output.reset();
  if (trace_level(3) > 0) PRINT('t', "fxr4028", "Exit returned %d rows\n", rows);
  return rows;
}

namespace {

// merge_DB_DATA2curs with the failure messages of the caller's family.
int merge_rows(fetchExitGlobal& g, const char* failed_id, const char* holding_id) {
  curs& c = *g.cursor;
  int merged = 0;
  int rc = 0;
  if (!g.anchor->tables.empty()) {
    const DB_DATA& table = *g.anchor->tables.front();
    for (const auto& row : table.rows) {
      if (ccmr_mergeResults(c, table, *row, g.time_stamp) == 0) {
        PRINT('w', failed_id, "Time = %s For cursor %s, merge failed after = %d rows\n",
              g.time_stamp.c_str(), c.name.c_str(), merged);
        PRINT('w', holding_id, "Holding cursor\n");
        c.hold = 'Y';
        set_code(c, -1);
        c.error_text = "a fetch-exit row could not be merged";
        rc = 1;
        break;
      }
      ++merged;
      ++c.rows_this_run;
      if ((c.trace && c.show_row) || trace_level(6) > 0) {
        const row_data* built = c.stored.newest();
        if (built) proded(merged, built->data(), c.row_length);
      }
    }
  }
  freeDBresults(*g.anchor, 'r');
  g.anchor.reset();
  return rc == 0 ? merged : -1;
}

}  // namespace

int merge_DB_DATA2curs(fetchExitGlobal& g) { return merge_rows(g, "fxr4035", "fxr4040"); }

int run_cursor_fetch_exit(curs& c, const std::string& time_stamp, int32_t& rows_out) {
  fetchExitGlobal g;
  setCurs4exit(g, c, time_stamp);
  if (g.routine == kExitInternal) {
    if (g.mode == kModeScript) return parse_script_text(c, time_stamp, rows_out, kExitInternal);
    if (g.mode != kModeTimed && g.mode != kModeDetached)
      PRINT('e', "fxr4025", "Invalid internal exit option %d\n", static_cast<int>(g.mode));
    return no_rows(c);
  }
  if (formatCommand(g) != 0) return fail_run(c, "the fetch-exit command could not be completed");
  if (tracing(c))
    PRINT('t', "fxr4024", "Call Exit %s, Parms %.200s.\n", g.command.c_str(), g.parms.c_str());
  set_exit_trace_log();
  RunOutcome run = run_command(g);
  if (!run.failure.empty()) {
    // Whatever it said about its failure goes to the log.
    for (const r_exec_chain* l = run.lines.get(); l; l = l->next)
      if (u_ismessage(l->text)) pass_message(l->text);
    return fail_run(c, "the fetch exit " + run.failure);
  }
  g.output = std::move(run.lines);
  const int rows = g.output ? parseCmdResults(g) : 0;
  if (rows == 0) return no_rows(c);
  if (tracing(c)) PRINT('t', "fxr4053", "Calling merge_DB_DATA2curs()\n");
  const int merged = merge_DB_DATA2curs(g);
  if (merged < 0) return 1;
  rows_out += merged;
  set_code(c, 100);
  return 0;
}

ScriptProcedure& script_procedure() {
  static ScriptProcedure runner;
  return runner;
}

int parse_script_text(curs& c, const std::string& time_stamp, int32_t& rows_out, int routine) {
  c.status.assign(kStatusWidth - 1, ' ');
  c.status += '0';
  std::string_view script = c.script;
  while (!script.empty() && script.front() == ' ') script.remove_prefix(1);
  const std::size_t end = std::min(script.find(' '), script.size());
  const std::string program(script.substr(0, end));
  std::string_view rest = script.substr(end);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  std::string parms;
  // Built-in procedures take the text as it stands; programs get quoted values.
  if (!complete_parameters(c, rest, parms, {"ccc4020", "ccc4015"}, routine != kExitInternal))
    return fail_run(c, "the script's parameters could not be completed");
  if (c.trace) PRINT('t', "ccc4024", "Call Exit %s, Parms %.200s.\n", program.c_str(), parms.c_str());
  std::vector<std::string> lines;
  if (routine == kExitInternal) {
    const ScriptProcedure& procedure = script_procedure();
    std::optional<std::vector<std::string>> got;
    if (procedure) {
      got = procedure(c, u_stripx(parms, 'T'));
    } else {
      PRINT('e', "ccc4065", "No built-in procedure can run script %.40s of cursor %s\n",
            c.script.c_str(), c.name.c_str());
    }
    if (!got) return fail_run(c, "the script's procedure did not run");
    lines = std::move(*got);
  } else {
    int status = 0;
    exec_lines out = u_exec(program.c_str(), parms.c_str(), &status, default_child_seconds(c));
    if (status != 0) {
      PRINT('e', "fxr4060", "Exit %s for cursor %s %s: no rows taken\n", program.c_str(),
            c.name.c_str(), ("ended with status " + std::to_string(status)).c_str());
      return fail_run(c, "the script ended with status " + std::to_string(status));
    }
    for (const r_exec_chain* l = out.get(); l; l = l->next) lines.push_back(l->text);
  }
  if (lines.empty()) {
    set_code(c, -1);
    return 0;
  }
  fetchExitGlobal g;
  g.cursor = &c;
  g.time_stamp = time_stamp;
  g.routine = routine == kExitInternal ? kExitProcedure : kExitSimple;
  g.skip = c.start_after;
  g.keep = c.stop_after;
  g.anchor = DBX_init(&env_vars.serverid, &env_vars.logonid, &env_vars.password);
  r_exec_chain** link = nullptr;
  exec_lines chain;
  for (std::string& text : lines) {
    auto* entry = new r_exec_chain;
    entry->length = static_cast<int32_t>(text.size());
    entry->text = std::move(text);
    if (link)
      *link = entry;
    else
      chain.reset(entry);
    link = &entry->next;
  }
  g.output = std::move(chain);
  const int rows = parseCmdResults(g);
  if (rows == 0) return no_rows(c);
  const int merged = merge_rows(g, "ccc4035", "ccc4040");
  if (merged < 0) return 1;
  rows_out += merged;
  set_code(c, 100);
  return 0;
}

}  // namespace qrx
