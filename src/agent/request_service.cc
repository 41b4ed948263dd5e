#include "agent/request_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <utility>

#include "agent/comm_entry.h"
#include "agent/nrqs.h"
#include "agent/request_record.h"
#include "agent/status_records.h"
#include "base/clock.h"
#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/signals.h"
#include "base/text.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/clusters.h"
#include "exec/cursor_data.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"

namespace qrx {

CommAnchor* ipc_ptr = nullptr;

namespace {

constexpr int kChannelTries = 3;
constexpr unsigned kChannelRetrySeconds = 3;

bool tracing_anywhere() { return trace_all || trace_something || trace_level(0); }

bool cursor_traced(cursor_set& cursors, const std::string& name) {
  const curs* c = cursors.find_cursor(name);
  return c && c->trace;
}

// Builds the anchor: the shared-memory channel, then up to three tries of
// "initc" 3 seconds apart. False when no anchor was made.
bool build_channel() {
  // The id file, its lock and the FIFOs live in the temporary directories;
  // a default one (/tmp/USER) that does not exist yet is made, not fatal.
  for (const std::string* dir : {&env_vars.tmpdir, &env_vars.localtmpdir})
    if (!dir->empty()) ::mkdir(dir->c_str(), 0770);
  // The FIFOs go only where no other user can plant or swap files (the
  // shared-memory transport checks its own directory).
  const std::string fifo_dir = env_vars.localtmpdir.empty() ? "." : env_vars.localtmpdir;
  if (channel_uses_pipes() && check_private_directory(fifo_dir.c_str()) != 0) {
    PRINT('e', "iir1510", "Error building RQS IPC environment\n");
    return false;
  }
  qrxcomm("initsm");
  for (int attempt = 1; attempt <= kChannelTries && !ipc_ptr; ++attempt) {
    ipc_ptr = qrxcomm("initc").anchor;
    if (ipc_ptr) break;
    PRINT('e', "iir1510", "Error building RQS IPC environment. Try %d failed\n", attempt);
    if (attempt < kChannelTries) the_clock().sleep_seconds(kChannelRetrySeconds);
  }
  if (ipc_ptr) return true;
  PRINT('e', "iir1510", "Error building RQS IPC environment\n");
  return false;
}

// Puts `records` (whole records of `size` bytes, back to back) into the block.
void fill_status(CursList& block, std::vector<char> records, size_t size) {
  block.numrow = static_cast<int32_t>(records.size() / size);
  block.lenrow = static_cast<int32_t>(size);
  block.data.assign(records.data(), static_cast<size_t>(block.numrow) * size);
}

// Serves one block; false when it could not be served.
bool serve_block(Definitions& defs, CursList& block) {
  const std::string& name = block.name;
  if (name == "RETRACE") {
    reset_trace = 1;
    PRINT('i', "cir1850", "Reseting trace.\n");
    return true;
  }
  if (name == "SHUTDOWN") {
    go_home = go_home + 1;
    PRINT('a', "cir1855", "SHUTDOWN request recieved.\n");
    return true;
  }
  if (tracing_anywhere() && (trace_level(0) || cursor_traced(defs, name)))
    PRINT('t', "cir1860", "Demand request. Cursor=%s\n", name.c_str());
  if (name == "C-STATUS") {
    fill_status(block, cursor_status_rows(defs), kCursorStatusSize);
    return true;
  }
  if (name == "D-STATUS") {
    fill_status(block, distributor_status_rows(defs), kDistributorStatusSize);
    return true;
  }
  const bool ok = get_probe_data(defs, block) == 0;
  if (!ok && trace_level(1)) PRINT('t', "cir1870", "Get RQS data failed. Cursor=%s\n", name.c_str());
  if (tracing_anywhere() && cursor_traced(defs, name))
    PRINT('t', "cir1875", "Returning Cur %s, %d Rows, %d bytes in length.\n", name.c_str(),
          block.numrow, block.lenrow);
  return ok;
}

}  // namespace

void hand_request_parameters(cursor_set& cursors, const std::vector<std::string>& params) {
  std::size_t count = params.size();
  while (count > 0 && params[count - 1].empty()) --count;
  set_request_parameters(cursors, std::span<const std::string>(params).first(count));
}

int do_rqs(Definitions& defs) {
  if (!ipc_ptr && !build_channel()) return kChannelFailureCode;
  if (trace_level(0)) PRINT('t', "cir1830", "Check RQS request queue...\n");
  // "get" may wait: what was logged so far reaches the file first.
  if (stder) std::fflush(stder);
  std::vector<CursList>* blocks = qrxcomm("get", ipc_ptr).blocks;
  if (!blocks) {
    if (ipc_ptr->error_code != 0 && ipc_ptr->error_code != 20) {
      PRINT('e', "cir1835", "%s\n", ipc_ptr->error_text.c_str());
      return -1;
    }
    if (trace_level(0) && ipc_ptr->error_code == 0) PRINT('t', "cir1840", " No requests!\n");
    return kNoRequest;
  }
  hand_request_parameters(defs, ipc_ptr->parameters);
  if (trace_level(0))
    PRINT('t', "cir1845", " Requests=%d\n", static_cast<int>(blocks->size()));
  int result = 0;
  for (CursList& block : *blocks)
    if (!serve_block(defs, block)) result = -1;
  if (qrxcomm("put", ipc_ptr).blocks || ipc_ptr->error_code != 0) {
    PRINT('e', "cir1880", "%s\n", ipc_ptr->error_text.c_str());
    // A chain the put left behind is freed by the next "get".
  }
  return result;
}

int get_probe_data(cursor_set& cursors, CursList& block) {
  const std::time_t now_epoch = the_clock().now();
  const int32_t now = relative_now(now_epoch);
  curs* c = cursors.find_cursor(block.name);
  if (!c) return 1;
  // Over the pipes one "get" may bring requests with different parameters:
  // each block's cursor runs with its own.
  if (ipc_ptr) {
    ipc_ptr->parameters = parse_data_request(block.pipe_buf).params;
    hand_request_parameters(cursors, ipc_ptr->parameters);
  }
  if (c->window_close <= now) set_window_c(*c, now);
  if (c->window_open > now) return 0;  // window closed: the reply is "NONE"
  cluster* cl = open_cursor(*c);
  if (!cl) return 1;
  if (cl->count == 0 || cl->row_size == 0) {
    close_cur(*c, cl);
    return 1;
  }
  if (tracing_anywhere())
    PRINT('t', "cpr1885", "Build return data block, cur= %s, rows= %d, len= %d\n",
          c->name.c_str(), cl->count, cl->row_size);
  block.numrow = cl->count;
  block.lenrow = cl->row_size;
  block.data.clear();
  block.data.reserve(static_cast<size_t>(cl->count) * static_cast<size_t>(cl->row_size));
  while (fetch_cur(*c, cl) == 0) block.data.append(cl->current_row(), cl->row_size);
  close_cur(*c, cl);
  return 0;
}

void wait_for_request_or_sleep(int32_t seconds, int32_t serve_from) {
  if (!ipc_ptr) {
    if (!signal_waiting()) the_clock().sleep_seconds(static_cast<unsigned>(seconds));
    return;
  }
  using std::chrono::system_clock;
  const system_clock::time_point start = system_clock::now();
  const system_clock::time_point end = start + std::chrono::seconds(seconds);
  // Until the request server may serve, a posted request cannot shorten the sleep.
  const std::time_t epoch = system_clock::to_time_t(start);
  system_clock::time_point serve_at =
      system_clock::from_time_t(epoch + (serve_from - relative_now(epoch)));
  serve_at = std::min(serve_at, end);
  while (!signal_waiting() && system_clock::now() < serve_at) pause_until(serve_at);
  // The seconds clock may lag the fine one by a tick: until it too shows
  // `serve_from`, a waiting request would send the scheduler round without work.
  while (!signal_waiting() && serve_at < end && relative_now(the_clock().now()) < serve_from &&
         system_clock::now() < end)
    pause_until(std::min(system_clock::now() + std::chrono::milliseconds(1), end));
  while (!signal_waiting()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - system_clock::now());
    if (left.count() <= 0) return;
    const int rc = wait_for_request(ipc_ptr, static_cast<int>(left.count()));
    if (rc == 1) return;
    // Without a channel to wait on the rest of the sleep is plain.
    if (rc < 0) pause_until(end);
  }
}

bool request_waiting(int milliseconds) {
  return ipc_ptr && wait_for_request(ipc_ptr, milliseconds) == 1;
}

int terminate_request_channel() {
  if (!ipc_ptr) return 0;
  CommAnchor* anchor = std::exchange(ipc_ptr, nullptr);
  return qrxcomm("term", anchor).code;
}

void send_shut() { qrxcomm("shut"); }

}  // namespace qrx
