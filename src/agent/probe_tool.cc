#include "agent/probe_tool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/probe_output.h"
#include "agent/reply_decoder.h"
#include "agent/status_records.h"
#include "base/command_line.h"
#include "base/control_files.h"
#include "base/dump.h"
#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/time_text.h"
#include "ctl/control_parse.h"
#include "ctl/versions.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "qrx/dict.h"

namespace qrx {
namespace {

const char kUsageLine[] =
    "qrxprobe [OPTION ...] get CURSOR [PARAM ...] | status | retrace | shutdown";

const char kHelp[] =
    "usage: qrxprobe [OPTION ...] get CURSOR [PARAM ...] | status | retrace | shutdown\n"
    "\n"
    "Asks the collector of one server for the rows of a cursor (get, with the\n"
    "request's parameters), the status of its cursors and distributors (status),\n"
    "to read its trace file again (retrace) or to stop (shutdown). Options may\n"
    "stand before or after the command's words; after \"--\" every word is a\n"
    "command word, so a parameter may begin with \"-\".\n"
    "\n"
    "Settings, as the collector takes them (or its COLL_* variables):\n"
    "  -rdbms SERVER, -serverid SERVER  server id (COLL_SERVERID)\n"
    "  -dbtype TYPE      database type (COLL_VERSION)\n"
    "  -tempdir DIR      directory of the channel's id file (COLL_PREFIX)\n"
    "  -ltempdir DIR     directory of the channel's FIFOs (COLL_PREFIX_LOCAL)\n"
    "  -logsdir DIR      the collector's home, where its control files are found\n"
    "                    (COLL_HOME; default the working directory)\n"
    "  -ctldir DIR       the collector's control directory (COLL_CTL_HOME)\n"
    "Output:\n"
    "  --csv, --json     CSV or JSON instead of aligned tables\n"
    "  -v                channel notices (attaching and the like) on standard error\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 the reply came; 1 the channel failed or timed out; 2 usage\n"
    "error or a parameter that cannot be sent whole; 3 get was answered NONE\n"
    "(a cursor the collector does not know, outside its window, held, or without\n"
    "rows); 4 no collector is running for the server; 5 status: a distributor's\n"
    "last run failed; 6 get was answered NONE because the cursor's last run\n"
    "failed (the database's message follows); 7 get gave stale rows: the cursor's\n"
    "last run failed and the rows are those of its last successful run (its end\n"
    "is told, and given as \"last_success\" with \"stale\": true in --json).\n";

// The tool's own options, matched whole; settings are the collector's options.
enum class Flag { kCsv, kJson, kVerbose, kHelp, kEndOfOptions };
struct FlagRow {
  const char* word;
  Flag flag;
};
constexpr FlagRow kFlags[] = {
    {"--csv", Flag::kCsv},   {"--json", Flag::kJson}, {"-v", Flag::kVerbose},
    {"--help", Flag::kHelp}, {"--", Flag::kEndOfOptions},
};

// A command: its word, the requests it sends (null: the cursor names given)
// and whether it takes a cursor and parameters after it.
struct Command {
  const char* verb;
  const char* requests;
  bool takes_cursor;
};
constexpr Command kCommands[] = {
    {"get", nullptr, true},
    {"status", "C-STATUS D-STATUS", false},
    {"retrace", "RETRACE", false},
    {"shutdown", "SHUTDOWN", false},
};

// The command line read: what to ask, how to print it, or why it is refused.
struct Invocation {
  OutputFormat format = OutputFormat::kTable;
  bool verbose = false;
  bool help = false;
  const Command* command = nullptr;
  std::string cursors;
  std::vector<std::string> params;
  std::string problem;  // empty when the command line is good
};

// Settings options go through the collector's option table, the tool's own
// through kFlags; every other word is a command word.
Invocation read_command_line(int argc, char** argv) {
  Invocation call;
  std::vector<std::string> words;
  const std::span<char* const> all(argv, static_cast<size_t>(argc));
  bool options = true;
  for (size_t i = 1; i < all.size(); ++i) {
    const std::string_view word = all[i];
    if (!options || word.size() < 2 || word[0] != '-') {
      words.emplace_back(word);
      continue;
    }
    const FlagRow* row = std::find_if(std::begin(kFlags), std::end(kFlags),
                                      [&](const FlagRow& r) { return word == r.word; });
    if (row != std::end(kFlags)) {
      switch (row->flag) {
        case Flag::kCsv: call.format = OutputFormat::kCsv; break;
        case Flag::kJson: call.format = OutputFormat::kJson; break;
        case Flag::kVerbose: call.verbose = true; break;
        case Flag::kHelp: call.help = true; break;
        case Flag::kEndOfOptions: options = false; break;
      }
      continue;
    }
    const int used = take_probe_option(all, i);
    if (used > 0) {
      i += static_cast<size_t>(used) - 1;
    } else if (call.problem.empty()) {
      call.problem = (used < 0 ? "option " + std::string(word) + " needs a value"
                               : "unknown option " + std::string(word));
    }
  }
  if (!call.problem.empty()) return call;
  if (words.empty()) {
    call.problem = "no command given";
    return call;
  }
  const Command* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                        [&](const Command& c) { return words[0] == c.verb; });
  if (command == std::end(kCommands)) {
    call.problem = "unknown command " + words[0];
  } else if (command->takes_cursor && words.size() < 2) {
    call.problem = words[0] + " needs a cursor name";
  } else if (!command->takes_cursor && words.size() > 1) {
    call.problem = words[0] + " takes no further words (" + words[1] + ")";
  } else {
    call.command = command;
    call.cursors = command->requests ? command->requests : words[1];
    if (command->takes_cursor) call.params.assign(words.begin() + 2, words.end());
  }
  return call;
}

// The tool's own outcome lines go to its standard error whatever the log
// stream is, in the log's line form.
template <typename... Args>
void say(std::FILE* err, char severity, const char* id, const char* format, Args... args) {
  std::FILE* const saved = stder;
  stder = err;
  PRINT(severity, id, format, args...);
  std::fflush(err);
  stder = saved;
}

// For one call: messages on standard error when no log is open (so that
// standard output holds only replies), notices only when asked for.
class MessageScope {
 public:
  MessageScope(std::FILE* err, bool verbose) : err_(err) {
    if (!stder) stder = err;
    set_quiet_notices(!verbose);
  }
  MessageScope(const MessageScope&) = delete;
  MessageScope& operator=(const MessageScope&) = delete;
  ~MessageScope() {
    set_quiet_notices(false);
    if (stder == err_) stder = nullptr;
  }

 private:
  std::FILE* err_;
};

// The cursor definitions of the collector's control files, found as the
// collector finds them, held for one call.
class ProbeDefinitions {
 public:
  ProbeDefinitions() = default;
  ProbeDefinitions(const ProbeDefinitions&) = delete;
  ProbeDefinitions& operator=(const ProbeDefinitions&) = delete;

  // Reads the cursor file (and the dictionary, for virtual cursors); false
  // when there is none or it cannot be read. Why is told once, by explain().
  bool load() {
    path_ = find_input_file("coll");
    if (path_.empty()) return false;
    // The parsers' progress lines would bury the reply: they go to a scratch
    // log, while errors still reach standard error through the log's echo.
    const FilePtr scratch(std::tmpfile());
    std::FILE* const saved_log = stder;
    if (scratch) stder = scratch.get();
    parsed_ = parse(defs_, path_);
    stder = saved_log;
    return parsed_;
  }
  bool parsed() const { return parsed_; }
  const Definitions& defs() const { return defs_; }
  const std::string& path() const { return path_; }

  // Says once why rows cannot be decoded through the definitions.
  void explain(std::FILE* err) {
    if (explained_ || parsed_) return;
    explained_ = true;
    if (path_.empty()) {
      say(err, 'w', "com0305",
          "No cursor file found (looked for it as %s): rows are shown as printable text; "
          "-logsdir or COLL_HOME names the collector's home\n",
          input_file_places("coll").c_str());
    } else {
      std::fprintf(err, "note: %s could not be read; rows shown as printable text\n",
                   path_.c_str());
    }
  }

 private:
  static bool parse(Definitions& defs, const std::string& path) {
    const std::string dict_path = find_input_file("dict");
    if (const auto dict = dict_path.empty() ? std::nullopt : u_loadfile(dict_path.c_str()))
      parse_dict_text(defs, *dict);
    const std::optional<std::string> text = u_loadfile(path.c_str());
    return text && parse_curs_text(defs, *text) == 0;
  }

  Definitions defs_;
  std::string path_;
  bool parsed_ = false;
  bool explained_ = false;
};

// Request names that are commands, not cursors.
constexpr const char* kCommandRequests[] = {"C-STATUS", "D-STATUS", "RETRACE", "SHUTDOWN"};

// The requests `call` sends. A get asks for the cursors' status after their
// rows, to tell a failed last run and stale rows, unless its words name a
// command already or the list would no longer travel whole.
std::string requests_of(const Invocation& call) {
  if (!call.command->takes_cursor) return call.cursors;
  for (const std::string& word : u_tokenset(call.cursors, " ,"))
    for (const char* command : kCommandRequests)
      if (word == command) return call.cursors;
  const std::string with_status = call.cursors + " C-STATUS";
  return with_status.size() < kMaxCursorList ? with_status : call.cursors;
}

// The cursor status records of a get's trailing "C-STATUS" reply.
class CursorOutcomes {
 public:
  // Takes the status reply out of `blocks` when `requests` added it.
  CursorOutcomes(const Invocation& call, const std::string& requests, std::vector<CursList>& blocks) {
    if (requests == call.cursors) return;
    const auto it = std::find_if(blocks.rbegin(), blocks.rend(),
                                 [](const CursList& b) { return b.name == "C-STATUS"; });
    if (it == blocks.rend()) return;
    status_ = std::move(*it);
    blocks.erase(std::next(it).base());
  }

  // The status record of cursor `name`; empty when the reply has none.
  std::span<const char> record(const std::string& name) const {
    if (status_.lenrow != static_cast<int>(kCursorStatusSize)) return {};
    const std::span<const char> data(status_.data);
    for (int r = 0; r < status_.numrow; ++r) {
      const std::size_t at = static_cast<std::size_t>(r) * kCursorStatusSize;
      if (at + kCursorStatusSize > data.size()) break;
      const std::span<const char> one = data.subspan(at, kCursorStatusSize);
      if (status_value(one, kCursorStatusLayout[kCsName]) == name) return one;
    }
    return {};
  }
  // True when the last run of cursor `name` failed.
  bool failed(const std::string& name) const {
    const std::string flag = field(name, kCsLastRunFailed);
    return !flag.empty() && flag != "0";
  }
  // Why the last run of `name` failed, on one line.
  std::string why(const std::string& name) const {
    std::string text = field(name, kCsErrorText);
    for (char& c : text)
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    text.erase(text.find_last_not_of(' ') + 1);
    return text.empty() ? "the collector kept no message" : text;
  }
  // When the last successful run of `name` ended; "never" when none did.
  std::string last_success(const std::string& name) const {
    const long long end = std::strtoll(field(name, kCsEndTime).c_str(), nullptr, 10);
    return end == 0 ? "never" : u_format_time(static_cast<std::time_t>(end), kTimeSlashed);
  }

 private:
  // Field `f` of `name`'s record; empty when there is none.
  std::string field(const std::string& name, int f) const {
    const std::span<const char> r = record(name);
    return r.empty() ? std::string() : status_value(r, kCursorStatusLayout[f]);
  }

  CursList status_;
};

void print_printable(std::FILE* out, const CursList& block) {
  std::fprintf(out, "%s rows=%d length=%d\n", block.name.c_str(), block.numrow, block.lenrow);
  if (block.numrow <= 0 || block.lenrow <= 0) return;
  const std::string_view rows(block.data.data(), block.data.size());
  for (int r = 0; r < block.numrow; ++r) {
    const std::string_view row = rows.substr(static_cast<size_t>(r) * block.lenrow, block.lenrow);
    std::fprintf(out, "%d: %s\n", r + 1, u_printable(row, 'p').c_str());
  }
}

// Prints one reply: status records and rows of a defined cursor as a table,
// anything else as printable text (with a note saying why when rows could
// not be decoded). `definitions` is null for replies that are no cursor's.
void print_block(std::FILE* out, std::FILE* err, const CursList& block,
                 ProbeDefinitions* definitions, const CursorOutcomes& outcomes, OutputFormat format) {
  const std::span<const char> data(block.data);
  ProbeTable table;
  bool decoded = status_table(block.name, data, block.numrow, block.lenrow, table);
  if (!decoded && definitions && block.numrow > 0) {
    if (definitions->parsed()) {
      const curs* c = definitions->defs().find_cursor(block.name);
      const auto lenrow = static_cast<uint32_t>(std::max(block.lenrow, 0));
      AgentLayout layout =
          c ? agent_layout(definitions->defs(), *c, lenrow)
            : AgentLayout{{}, "cursor " + block.name + " is not in the control files"};
      // The collector may be running another version of the cursor: the
      // first whose rows have the reply's size.
      for (std::size_t i = 0; c && c->versions && !layout.problem.empty() &&
                              i < c->versions->records.size(); ++i) {
        if (i == c->versions->current) continue;  // its contents are the slot's
        AgentLayout other = agent_layout(definitions->defs(), *c->versions->records[i], lenrow);
        if (other.problem.empty()) layout = std::move(other);
      }
      if (layout.problem.empty()) {
        table = decode_agent_rows(block.name, layout, data, block.numrow, block.lenrow);
        decoded = true;
      } else {
        std::fprintf(err, "note: %s; rows shown as printable text\n", layout.problem.c_str());
      }
    } else {
      definitions->explain(err);
    }
  }
  if (!decoded && format == OutputFormat::kTable) return print_printable(out, block);
  if (!decoded) table = printable_rows(block.name, data, block.numrow, block.lenrow);
  if (definitions && block.numrow > 0 && outcomes.failed(block.name))
    table.stale_since = outcomes.last_success(block.name);
  std::fputs(render_table(table, format).c_str(), out);
}

// True when `params` travel whole for `cursors`: at most 40, and each within
// its slot of the request segment (shared memory) or all within one record
// per cursor (pipes, measured with a probe pipe path of the form the probe
// will use). Otherwise says why, for nothing may be cut or dropped on the way.
bool parameters_fit(const std::vector<std::string>& params, const std::string& cursors) {
  if (params.size() > static_cast<size_t>(kParamSlots)) {
    PRINT('e', "com0207", "More than %d parameters\n", kParamSlots);
    return false;
  }
  if (!channel_uses_pipes()) {
    for (size_t i = 0; i < params.size(); ++i) {
      if (params[i].size() < static_cast<size_t>(kParamSlotSize)) continue;
      PRINT('e', "com0208", "Parameter %d is longer than %d characters\n", static_cast<int>(i + 1),
            kParamSlotSize - 1);
      return false;
    }
    return true;
  }
  CommAnchor scratch;
  scratch.parameters = params;
  build_probe_blocks(&scratch, cursors.c_str(), new_probe_path());
  for (const CursList& block : scratch.blocks) {
    if (block.pipe_buf.size() < static_cast<size_t>(kMaxPipeRecord)) continue;
    PRINT('e', "com0209", "Request for %s is %d bytes with its parameters, more than %d\n",
          block.name.c_str(), static_cast<int>(block.pipe_buf.size()), kMaxPipeRecord - 1);
    return false;
  }
  return true;
}

// The exit status that the replies of `call` give, with one line on `err`
// for each reply that is not what was asked for.
int reply_status(const Invocation& call, const std::vector<CursList>& blocks,
                 const ProbeDefinitions& definitions, const CursorOutcomes& outcomes,
                 std::FILE* err) {
  int status = kProbeDelivered;
  for (const CursList& block : blocks) {
    const bool failed = call.command->takes_cursor && outcomes.failed(block.name);
    if (failed && block.numrow > 0) {
      status = kProbeStaleRows;
      say(err, 'w', "com0307",
          "The rows of %s are stale: its last run failed (%s); they are from its last successful "
          "run, ended %s\n",
          block.name.c_str(), outcomes.why(block.name).c_str(),
          outcomes.last_success(block.name).c_str());
    } else if (failed) {
      status = kProbeLastRunFailed;
      say(err, 'e', "com0306", "The last run of %s failed: %s\n", block.name.c_str(),
          outcomes.why(block.name).c_str());
    } else if (call.command->takes_cursor && block.numrow <= 0) {
      status = kProbeNone;
      if (definitions.parsed() && !definitions.defs().find_cursor(block.name)) {
        say(err, 'w', "com0303", "The collector answered NONE for %s: %s defines no such cursor\n",
            block.name.c_str(), definitions.path().c_str());
      } else {
        say(err, 'w', "com0302",
            "The collector answered NONE for %s: a cursor it does not know, outside its window, "
            "held, or without rows\n",
            block.name.c_str());
      }
    }
    if (block.name != "D-STATUS" || block.lenrow != static_cast<int>(kDistributorStatusSize))
      continue;
    const std::span<const char> data(block.data);
    for (int r = 0; r < block.numrow; ++r) {
      const std::span<const char> record =
          data.subspan(static_cast<size_t>(r) * kDistributorStatusSize, kDistributorStatusSize);
      if (status_value(record, kDistributorStatusLayout[kDsStatus]) != "FAIL") continue;
      status = kProbeDistributorFailed;
      say(err, 'w', "com0304", "Distributor %s failed at its last run (%s)\n",
          status_value(record, kDistributorStatusLayout[kDsName]).c_str(),
          form_time(status_value(record, kDistributorStatusLayout[kDsLastRun])).c_str());
    }
  }
  return status;
}

// Asks the collector and prints the replies; the exit status.
int ask(const Invocation& call, std::FILE* out, std::FILE* err) {
  if (!parameters_fit(call.params, call.cursors)) return kProbeUsage;  // nothing was sent
  std::string looked_in;
  const int reach = probe_connect(looked_in);
  if (reach == kNoCollector) {
    say(err, 'e', "com0301", "no collector is running for server %s (looked in %s)\n",
        env_vars.serverid.c_str(), looked_in.c_str());
    return kProbeNoCollector;
  }
  CommAnchor* anchor = reach == 0 ? qrxcomm("init").anchor : nullptr;
  if (!anchor) {
    std::fputs("error: the probe side of the channel could not be set up\n", err);
    qrxcomm("shut");
    return kProbeChannelError;
  }
  anchor->parameters = call.params;
  ProbeDefinitions definitions;
  const bool for_cursors = call.command->takes_cursor;
  if (for_cursors) definitions.load();
  int status = kProbeDelivered;
  const std::string requests = requests_of(call);
  if (std::vector<CursList>* blocks = qrxcomm("get", anchor, requests.c_str()).blocks) {
    const CursorOutcomes outcomes(call, requests, *blocks);
    for (const CursList& block : *blocks)
      print_block(out, err, block, for_cursors ? &definitions : nullptr, outcomes, call.format);
    std::fflush(out);
    status = reply_status(call, *blocks, definitions, outcomes, err);
  } else {
    std::fprintf(err, "error %d: %s\n", anchor->error_code, anchor->error_text.c_str());
    status = kProbeChannelError;
  }
  qrxcomm("term", anchor);
  qrxcomm("shut");
  return status;
}

}  // namespace

int probe_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const Invocation call = read_command_line(argc, argv);
  if (call.help) {
    std::fputs(kHelp, out);
    return kProbeDelivered;
  }
  if (!call.problem.empty()) {
    say(err, 'e', "com0300", "%s; usage: %s\n", call.problem.c_str(), kUsageLine);
    return kProbeUsage;
  }
  const MessageScope messages(err, call.verbose);
  get_envs(env_vars);
  return ask(call, out, err);
}

}  // namespace qrx
