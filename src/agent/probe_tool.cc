#include "agent/probe_tool.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/probe_output.h"
#include "agent/reply_decoder.h"
#include "base/command_line.h"
#include "base/control_files.h"
#include "base/dump.h"
#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "qrx/dict.h"

namespace qrx {
namespace {

const char kUsage[] =
    "usage: qrxprobe [-rdbms SERVER] [-dbtype TYPE] [-tempdir DIR] [-ltempdir DIR]\n"
    "                [-logsdir DIR] [-ctldir DIR] [--csv | --json]\n"
    "                get CURSOR [PARAM ...] | status | retrace | shutdown\n";

// Applies the options before the command; the index of the command word, or
// -1 on a bad option.
int parse_options(int argc, char** argv, OutputFormat& format) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--csv" || flag == "--json") {
      format = flag == "--csv" ? OutputFormat::kCsv : OutputFormat::kJson;
      continue;
    }
    const int used = take_probe_option(std::span<char* const>(argv, static_cast<size_t>(argc)),
                                       static_cast<size_t>(i));
    if (used <= 0) return -1;
    i += used - 1;
  }
  return i;
}

// The cursor definitions of the collector's control files, found as the
// collector finds them, held for one call; the chains are emptied afterwards.
class Definitions {
 public:
  Definitions() = default;
  Definitions(const Definitions&) = delete;
  Definitions& operator=(const Definitions&) = delete;
  ~Definitions() {
    if (!loaded_) return;
    del_curs();
    dict_anchor.clear();
  }

  // Reads the cursor file (and the dictionary, for virtual cursors); false
  // when there is no cursor file or it cannot be read, with a note for the latter.
  bool load(std::FILE* err) {
    const std::string path = find_input_file("coll");
    if (path.empty()) return false;
    loaded_ = true;
    // The parsers' progress lines would bury the reply: they go to a scratch
    // log, while errors still reach standard error through the log's echo.
    const FilePtr scratch(std::tmpfile());
    std::FILE* const saved_log = stder;
    if (scratch) stder = scratch.get();
    const bool parsed = parse(path);
    stder = saved_log;
    if (!parsed)
      std::fprintf(err, "note: %s could not be read; rows shown as printable text\n",
                   path.c_str());
    return parsed;
  }

 private:
  static bool parse(const std::string& path) {
    const std::string dict_path = find_input_file("dict");
    if (const auto dict = dict_path.empty() ? std::nullopt : u_loadfile(dict_path.c_str()))
      parse_dict_text(*dict);
    const std::optional<std::string> text = u_loadfile(path.c_str());
    return text && parse_curs_text(*text) == 0;
  }

  bool loaded_ = false;
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
// anything else as printable text (with a note saying why when the cursor's
// definition was at hand).
void print_block(std::FILE* out, std::FILE* err, const CursList& block, bool defined,
                 OutputFormat format) {
  const std::span<const char> data(block.data);
  ProbeTable table;
  bool decoded = status_table(block.name, data, block.numrow, block.lenrow, table);
  if (!decoded && defined && block.numrow > 0) {
    const curs* c = find_cursor(block.name);
    const AgentLayout layout =
        c ? agent_layout(*c, static_cast<uint32_t>(std::max(block.lenrow, 0)))
          : AgentLayout{{}, "cursor " + block.name + " is not in the control files"};
    if (layout.problem.empty()) {
      table = decode_agent_rows(block.name, layout, data, block.numrow, block.lenrow);
      decoded = true;
    } else {
      std::fprintf(err, "note: %s; rows shown as printable text\n", layout.problem.c_str());
    }
  }
  if (!decoded && format == OutputFormat::kTable) return print_printable(out, block);
  if (!decoded) table = printable_rows(block.name, data, block.numrow, block.lenrow);
  std::fputs(render_table(table, format).c_str(), out);
}

// True when the anchor's parameters travel whole for `cursors`: at most 40,
// and each within its slot of the request segment (shared memory) or all
// within one record per cursor (pipes). Otherwise says why, for nothing may
// be cut or dropped on the way.
bool parameters_fit(CommAnchor& anchor, const std::string& cursors) {
  const std::vector<std::string>& params = anchor.parameters;
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
  build_probe_blocks(&anchor, cursors.c_str(), anchor.probe_path);
  for (const CursList& block : anchor.blocks) {
    if (block.pipe_buf.size() < static_cast<size_t>(kMaxPipeRecord)) continue;
    PRINT('e', "com0209", "Request for %s is %d bytes with its parameters, more than %d\n",
          block.name.c_str(), static_cast<int>(block.pipe_buf.size()), kMaxPipeRecord - 1);
    return false;
  }
  return true;
}

}  // namespace

int probe_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
  OutputFormat format = OutputFormat::kTable;
  const int first = parse_options(argc, argv, format);
  if (first < 0 || first >= argc) {
    std::fputs(kUsage, err);
    return 2;
  }
  const std::string command = argv[first];
  std::string cursors;
  std::vector<std::string> params;
  if (command == "get" && first + 1 < argc) {
    cursors = argv[first + 1];
    params.assign(argv + first + 2, argv + argc);
  } else if (command == "status" && first + 1 == argc) {
    cursors = "C-STATUS D-STATUS";
  } else if (command == "retrace" && first + 1 == argc) {
    cursors = "RETRACE";
  } else if (command == "shutdown" && first + 1 == argc) {
    cursors = "SHUTDOWN";
  } else {
    std::fputs(kUsage, err);
    return 2;
  }

  // Messages go to standard error so that standard output holds only replies.
  if (!stder) stder = err;
  get_envs(env_vars);
  qrxcomm("initsm");
  CommAnchor* anchor = qrxcomm("init").anchor;
  if (!anchor) {
    std::fputs("error: the probe side of the channel could not be set up\n", err);
    return 1;
  }
  anchor->parameters = params;
  int status = 0;
  if (!parameters_fit(*anchor, cursors)) {
    status = 2;  // refused before anything was sent
  } else {
    Definitions definitions;
    const bool defined = command == "get" && definitions.load(err);
    std::vector<CursList>* blocks = qrxcomm("get", anchor, cursors.c_str()).blocks;
    if (!blocks) {
      std::fprintf(err, "error %d: %s\n", anchor->error_code, anchor->error_text.c_str());
      status = 1;
    } else {
      for (const CursList& block : *blocks) print_block(out, err, block, defined, format);
    }
  }
  qrxcomm("term", anchor);
  qrxcomm("shut");
  if (stder == err) stder = nullptr;
  return status;
}

}  // namespace qrx
