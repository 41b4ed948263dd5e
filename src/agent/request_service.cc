#include "agent/request_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "agent/comm_entry.h"
#include "agent/nrqs.h"
#include "agent/request_record.h"
#include "agent/status_records.h"
#include "ctl/control_parse.h"
#include "exec/clusters.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "qrx/env_vars.h"
#include "runtime/clock.h"
#include "runtime/exit_path.h"
#include "runtime/log.h"
#include "runtime/relative_time.h"
#include "runtime/scheduler.h"
#include "runtime/text.h"
#include "runtime/trace.h"

namespace qrx {

CommAnchor* ipc_ptr = nullptr;

namespace {

constexpr int kChannelTries = 3;
constexpr unsigned kChannelRetrySeconds = 3;
constexpr int kChannelFailureCode = -1004;
constexpr size_t kMaxParameterLength = 256;

// The texts the "%parm" columns point at; kept until the next request.
std::vector<std::string> request_parameters;

bool tracing_anywhere() { return trace_all || trace_something || trace_level(0); }

bool cursor_traced(const std::string& name) {
  const curs* c = find_cursor(name);
  return c && c->trace;
}

// Builds the anchor: the shared-memory channel, then up to three tries of
// "initc" 3 seconds apart. Ends the collector when no anchor was made.
void build_channel() {
  qrxcomm("initsm");
  for (int attempt = 1; attempt <= kChannelTries && !ipc_ptr; ++attempt) {
    ipc_ptr = qrxcomm("initc").anchor;
    if (ipc_ptr) break;
    PRINT('e', "iir1510", "Error building RQS IPC environment. Try %d failed\n", attempt);
    if (attempt < kChannelTries) the_clock().sleep_seconds(kChannelRetrySeconds);
  }
  if (ipc_ptr) return;
  PRINT('e', "iir1510", "Error building RQS IPC environment\n");
  quitting(kChannelFailureCode);
}

// Puts `records` (whole records of `size` bytes, back to back) into the block.
void fill_status(CursList& block, std::vector<char> records, size_t size) {
  block.numrow = static_cast<int32_t>(records.size() / size);
  block.lenrow = static_cast<int32_t>(size);
  block.data.assign(records.data(), static_cast<size_t>(block.numrow) * size);
}

// Serves one block; false when it could not be served.
bool serve_block(CursList& block) {
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
  if (tracing_anywhere() && (trace_level(0) || cursor_traced(name)))
    PRINT('t', "cir1860", "Demand request. Cursor=%s\n", name.c_str());
  if (name == "C-STATUS") {
    fill_status(block, cursor_status_rows(), kCursorStatusSize);
    return true;
  }
  if (name == "D-STATUS") {
    fill_status(block, distributor_status_rows(), kDistributorStatusSize);
    return true;
  }
  const bool ok = get_probe_data(block) == 0;
  if (!ok && trace_level(1)) PRINT('t', "cir1870", "Get RQS data failed. Cursor=%s\n", name.c_str());
  if (tracing_anywhere() && cursor_traced(name))
    PRINT('t', "cir1875", "Returning Cur %s, %d Rows, %d bytes in length.\n", name.c_str(),
          block.numrow, block.lenrow);
  return ok;
}

}  // namespace

void hand_request_parameters(const std::vector<std::string>& params) {
  request_parameters = params;
  while (!request_parameters.empty() && request_parameters.back().empty())
    request_parameters.pop_back();
  if (!percent_cursor) return;
  size_t next = 0;
  for (const auto& col : percent_cursor->cols) {
    if (u_strlower(std::string_view(col->name).substr(0, 5)) != "%parm") continue;
    if (next >= request_parameters.size()) break;
    const std::string& text = request_parameters[next++];
    col->value = text.c_str();
    col->db_length = static_cast<uint16_t>(std::min(text.size(), kMaxParameterLength));
  }
}

int do_rqs() {
  if (!ipc_ptr) build_channel();
  if (trace_level(0)) PRINT('t', "cir1830", "Check RQS request queue...\n");
  std::vector<CursList>* blocks = qrxcomm("get", ipc_ptr).blocks;
  if (!blocks) {
    if (ipc_ptr->error_code != 0 && ipc_ptr->error_code != 20) {
      PRINT('e', "cir1835", "%s", ipc_ptr->error_text.c_str());
      return -1;
    }
    if (trace_level(0) && ipc_ptr->error_code == 0) PRINT('t', "cir1840", " No requests!\n");
    return kNoRequest;
  }
  hand_request_parameters(ipc_ptr->parameters);
  if (trace_level(0))
    PRINT('t', "cir1845", " Requests=%d\n", static_cast<int>(blocks->size()));
  int result = 0;
  for (CursList& block : *blocks)
    if (!serve_block(block)) result = -1;
  if (qrxcomm("put", ipc_ptr).blocks || ipc_ptr->error_code != 0) {
    PRINT('e', "cir1880", "%s", ipc_ptr->error_text.c_str());
    // A chain the put left behind is freed by the next "get".
  }
  return result;
}

int get_probe_data(CursList& block) {
  const std::time_t now_epoch = the_clock().now();
  const int32_t now = relative_now(now_epoch);
  curs* c = find_cursor(block.name);
  if (!c) return 1;
  if (ipc_ptr) ipc_ptr->parameters = parse_data_request(block.pipe_buf).params;
  if (c->window_close <= now) set_window_c(*c, now);
  if (c->window_open > now) return 0;  // window closed: the reply is "NONE"
  c->last_time = get_time(now_epoch);
  cluster* cl = open_cursor(*c);
  if (!cl) return 1;
  if (cl->count == 0 || cl->row_size == 0) {
    close_cur(cl);
    return 1;
  }
  if (tracing_anywhere())
    PRINT('t', "cpr1885", "Build return data block, cur= %s, rows= %d, len= %d\n",
          c->name.c_str(), cl->count, cl->row_size);
  block.numrow = cl->count;
  block.lenrow = cl->row_size;
  block.data.clear();
  block.data.reserve(static_cast<size_t>(cl->count) * static_cast<size_t>(cl->row_size));
  while (fetch_cur(cl) == 0) block.data.append(cl->current_row(), cl->row_size);
  close_cur(cl);
  return 0;
}

void wait_for_request_or_sleep(int32_t seconds, int32_t serve_from) {
  if (!ipc_ptr) {
    the_clock().sleep_seconds(static_cast<unsigned>(seconds));
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
  while (!go_home && system_clock::now() < serve_at) std::this_thread::sleep_until(serve_at);
  while (!go_home) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - system_clock::now());
    if (left.count() <= 0) return;
    const int rc = wait_for_request(ipc_ptr, static_cast<int>(left.count()));
    if (rc == 1) return;
    // Without a channel to wait on the rest of the sleep is plain.
    if (rc < 0) std::this_thread::sleep_until(end);
  }
}

int terminate_request_channel() {
  if (!ipc_ptr) return 0;
  const int rc = qrxcomm("term", ipc_ptr).code;
  ipc_ptr = nullptr;
  return rc;
}

void install_request_service() {
  ScheduleHooks& hooks = schedule_hooks();
  hooks.do_rqs = do_rqs;
  hooks.do_nrqs = do_nrqs;
  hooks.wait_for_request = wait_for_request_or_sleep;
  ShutdownHooks& shut = shutdown_hooks();
  shut.terminate_channel = terminate_request_channel;
  shut.send_shut = [] { qrxcomm("shut"); };
}

}  // namespace qrx
