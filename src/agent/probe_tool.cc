#include "agent/probe_tool.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "agent/comm_entry.h"
#include "qrx/env_vars.h"
#include "runtime/dump.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/text.h"

namespace qrx {
namespace {

// Options shared with the collector that name the channel: keyword, minimum
// abbreviation, settings field.
struct ProbeOption {
  const char* keyword;
  int min_length;
  std::string EnvVars::*field;
};
const ProbeOption kOptions[] = {
    {"rdbms", 3, &EnvVars::serverid},    {"serverid", 6, &EnvVars::serverid},
    {"dbtype", 6, &EnvVars::db_type},    {"tempdir", 7, &EnvVars::tmpdir},
    {"ltempdir", 8, &EnvVars::localtmpdir},
};

const char kUsage[] =
    "usage: qrxprobe [-rdbms SERVER] [-dbtype TYPE] [-tempdir DIR] [-ltempdir DIR]\n"
    "                get CURSOR [PARAM ...] | status | retrace | shutdown\n";

// Applies the options before the command; the index of the command word, or
// -1 on a bad option.
int parse_options(int argc, char** argv) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* word = argv[i] + 1;
    const ProbeOption* match = nullptr;
    for (const ProbeOption& option : kOptions) {
      const int len = static_cast<int>(std::strlen(option.keyword));
      if (u_chktoken(word, option.keyword, len, option.min_length) == 0) match = &option;
    }
    if (!match) return -1;
    const size_t len = std::strlen(match->keyword);
    if (std::strlen(word) > len) {
      env_vars.*(match->field) = word + len;
    } else if (i + 1 < argc) {
      env_vars.*(match->field) = argv[++i];
    } else {
      return -1;
    }
  }
  return i;
}

void print_block(std::FILE* out, const CursList& block) {
  std::fprintf(out, "%s rows=%d length=%d\n", block.name.c_str(), block.numrow, block.lenrow);
  if (block.numrow <= 0 || block.lenrow <= 0) return;
  const std::string_view rows(block.data.data(), block.data.size());
  for (int r = 0; r < block.numrow; ++r) {
    const std::string_view row = rows.substr(static_cast<size_t>(r) * block.lenrow, block.lenrow);
    std::fprintf(out, "%d: %s\n", r + 1, u_printable(row, 'p').c_str());
  }
}

}  // namespace

int probe_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const int first = parse_options(argc, argv);
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
  std::vector<CursList>* blocks = qrxcomm("get", anchor, cursors.c_str()).blocks;
  int status = 0;
  if (!blocks) {
    std::fprintf(err, "error %d: %s\n", anchor->error_code, anchor->error_text.c_str());
    status = 1;
  } else {
    for (const CursList& block : *blocks) print_block(out, block);
  }
  qrxcomm("term", anchor);
  qrxcomm("shut");
  if (stder == err) stder = nullptr;
  return status;
}

}  // namespace qrx
