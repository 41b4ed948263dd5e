#include "agent/comm_entry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent/request_record.h"
#include "agent/share_memory.h"
#include "base/clock.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/time_text.h"
#include "base/trace.h"

namespace qrx {

int wait_timeout = 0;
const char* const kNoAnswer = "no answer from the collector";

namespace {

// Longest single semaphore wait for a request; see ShmTransport::wait_for_request.
constexpr int kSignalSliceMs = 1000;

enum Function { kInit = 1, kInitc, kGet, kPut, kTerm, kShut, kInitsm };
const char* const kFunctions[] = {"init", "initc", "get", "put", "term", "shut", "initsm"};

std::time_t last_succeed_sent_req_tm = 0;
int function_code(const char* function) {
  return function ? u_test_word(function, kFunctions, 7, 0) : 0;
}

bool shm_selected() { return env_vars.use_shm.empty() || env_vars.use_shm[0] == '1'; }

CommAnchor* new_anchor(char side) {
  auto* anchor = new CommAnchor;
  anchor->side = side;
  anchor->coll_path = "COL";
  anchor->probe_path = "AGT";
  return anchor;
}

std::vector<CursList>* shm_collector_get(CommAnchor* anchor) {
  if (channel_trace()) PRINT('t', "ush0400", "Entering: get_probe_reqs\n");
  anchor->error_code = 0;
  anchor->blocks.clear();
  std::string name, unique, text;
  std::vector<std::string> params;
  const int rc = g_pCommObjectRequest
                     ? g_pCommObjectRequest->GetRequest(name, unique, params, text, wait_timeout)
                     : kShareFailure;
  if (rc < 0) {
    SetError(rc, anchor);
    if (channel_trace()) PRINT('t', "ush0410", "Call get_probe_reqs: No request\n");
    return nullptr;
  }
  anchor->unique = unique;
  if (params.size() > static_cast<size_t>(kParamSlots)) params.resize(kParamSlots);
  std::vector<char> record = build_data_request(name, anchor->probe_path, params);
  anchor->parameters = parse_data_request(record).params;
  add_request_block(*anchor, std::move(record), anchor->probe_path);
  if (channel_trace()) {
    PRINT('t', "com2010", "get_request() %8s %s\n", anchor->blocks.front().name.c_str(),
          anchor->probe_path.c_str());
  }
  return &anchor->blocks;
}

std::vector<CursList>* shm_collector_put(CommAnchor* anchor) {
  for (CursList& block : anchor->blocks) {
    const size_t size = static_cast<size_t>(block.numrow) * static_cast<size_t>(block.lenrow);
    // Rows the block does not hold are not sent: the reply says "NONE".
    const bool whole = block.numrow > 0 && block.lenrow > 0 && block.data.size() >= size;
    for (const std::string& requester : block.requesters) {
      anchor->probe_path = requester;
      const int rc = g_pCommObjectData
                         ? g_pCommObjectData->SendData(anchor->unique, whole ? block.numrow : 0,
                                                       whole ? block.lenrow : 0,
                                                       whole ? block.data.data() : nullptr, 10)
                         : kShareFailure;
      if (rc < 0) {
        SetError(rc, anchor);
        return nullptr;
      }
    }
  }
  const std::string name = anchor->blocks.empty() ? "" : anchor->blocks.front().name;
  anchor->blocks.clear();
  if (channel_trace()) {
    PRINT('t', "com2010", "put_request() %8s pipe=%s\n", name.c_str(),
          anchor->probe_path.c_str());
  }
  return nullptr;
}

// Sends one block's request and reads its reply by `deadline`; 0 or the
// channel result.
int shm_probe_exchange(CommAnchor* anchor, CursList& block, bool exchange_held,
                       Deadline deadline) {
  const std::time_t now = the_clock().now();
  if (channel_trace()) {
    PRINT('t', "ush0420", "Time now:%d, last succeed:%d\n", static_cast<int>(now),
          static_cast<int>(last_succeed_sent_req_tm));
  }
  // Another client may be in the middle of an exchange unless this one holds it.
  if (!exchange_held && now - last_succeed_sent_req_tm > 180) {
    if (trace_level(4)) PRINT('i', "ush0430", "Reseting semaphores...\n");
    g_pCommObjectRequest->ResetSemaphore(kRequestShare);
    g_pCommObjectData->ResetSemaphore(kDataShare);
  }
  std::string unique;
  int rc = g_pCommObjectRequest->SendRequestUntil(block.name.c_str(), anchor->parameters, unique,
                                                  nullptr, deadline);
  if (rc != 0) return rc;
  last_succeed_sent_req_tm = the_clock().now();
  anchor->unique = unique;
  block.unique = unique;
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  rc = g_pCommObjectData->ReadReply(unique, exchange_held, received, numrow, lenrow, rows,
                                    deadline);
  if (rc != 0) return rc;
  block.numrow = numrow;
  block.lenrow = lenrow;
  block.data.clear();
  if (numrow > 0) block.data = std::move(rows);
  return 0;
}

std::vector<CursList>* shm_probe_ask(CommAnchor* anchor, const char* cursors, int timeout) {
  if (!g_pCommObjectRequest || !g_pCommObjectData) {
    SetError(kShareFailure, anchor);
    return nullptr;
  }
  build_probe_blocks(anchor, cursors, anchor->probe_path);
  const Deadline deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeout, 0));
  // The client holds the exchange from its first request to its last reply,
  // so that no other client can take a reply meant for it.
  int rc = g_pCommObjectRequest->TakeExchange(deadline);
  const bool exchange_held = rc == 0;
  if (rc == kNoExchange) rc = 0;
  // The request segment holds one request, and the collector sends a reply
  // before it reads the next request: each reply is read before the next
  // request goes, or the two sides would wait for each other.
  for (size_t i = 0; rc == 0 && i < anchor->blocks.size(); ++i)
    rc = shm_probe_exchange(anchor, anchor->blocks[i], exchange_held, deadline);
  if (exchange_held) g_pCommObjectRequest->GiveExchange();
  if (rc == kShareTimeout) {
    set_comm_error(anchor, 20, kNoAnswer);
    return nullptr;
  }
  if (rc != 0) {
    SetError(rc, anchor);
    return nullptr;
  }
  return &anchor->blocks;
}

// The shared-memory channel: the segments and semaphores of the server.
class ShmTransport : public Transport {
 public:
  CommAnchor* init_probe() override {
    if (last_succeed_sent_req_tm == 0) last_succeed_sent_req_tm = the_clock().now();
    if (wait_timeout == 0) wait_timeout = get_timeout_value("WAIT_TIMEOUT", 45);
    return new_anchor('P');
  }
  CommAnchor* init_collector() override {
    if (wait_timeout == 0) wait_timeout = get_timeout_value("COLL_WAIT_TIMEOUT", 5);
    claim_channel(true);
    return new_anchor('C');
  }
  void init_share() override {
    if (InitShare(env_vars.serverid.c_str()) != 0) {
      PRINT('s', "com31400", "could not establish shared memory, quitting\n");
      std::exit(8);
    }
  }
  int connect_probe(std::string& looked_in) override {
    looked_in = ipc_directory();
    const int rc = AttachShare();
    return rc == kNoChannel ? kNoCollector : rc;
  }
  std::vector<CursList>* get(CommAnchor* anchor) override {
    anchor->error_code = 0;
    return shm_collector_get(anchor);
  }
  std::vector<CursList>* ask(CommAnchor* anchor, const char* cursors, int timeout) override {
    anchor->error_code = 0;
    return shm_probe_ask(anchor, cursors, timeout);
  }
  std::vector<CursList>* put(CommAnchor* anchor) override {
    anchor->error_code = 0;
    return shm_collector_put(anchor);
  }
  int term(CommAnchor* anchor) override {
    delete anchor;
    return 0;
  }
  void shut() override { DetachShareCommObject(); }
  int wait_for_request(CommAnchor*, int milliseconds) override {
    if (!g_pCommObjectRequest) return -1;
    // A semaphore wait cannot poll the signal handler's wake pipe: a signal
    // that lands just before the wait begins is seen within one slice.
    const int rc = g_pCommObjectRequest->WaitFilled(std::min(milliseconds, kSignalSliceMs));
    return rc == 0 ? 1 : rc == kShareTimeout ? 0 : -1;
  }
};

// The named-pipe channel: one FIFO per side, in the temporary directory.
class PipeTransport : public Transport {
 public:
  CommAnchor* init_probe() override { return pipe_init_probe(); }
  CommAnchor* init_collector() override { return pipe_init_collector(); }
  void init_share() override {}
  int connect_probe(std::string& looked_in) override {
    const std::string path = collector_pipe_path();
    const size_t slash = path.rfind('/');
    looked_in = slash == std::string::npos ? "." : path.substr(0, slash);
    return pipe_collector_absent() ? kNoCollector : 0;
  }
  std::vector<CursList>* get(CommAnchor* anchor) override { return pipe_get(anchor); }
  std::vector<CursList>* ask(CommAnchor* anchor, const char* cursors, int timeout) override {
    return pipe_ask(anchor, cursors, timeout);
  }
  std::vector<CursList>* put(CommAnchor* anchor) override { return pipe_put(anchor); }
  int term(CommAnchor* anchor) override { return pipe_term(anchor); }
  void shut() override {}
  int wait_for_request(CommAnchor* anchor, int milliseconds) override {
    return pipe_wait_for_request(anchor, milliseconds);
  }
};

ShmTransport shm_transport;
PipeTransport pipe_transport;

Transport& selected_transport() {
  if (shm_selected()) return shm_transport;
  return pipe_transport;
}

bool valid_side(const CommAnchor* anchor) { return anchor->side == 'C' || anchor->side == 'P'; }

// Runs function code `function` on `transport`; `entry` names the entry in
// the message for an unknown code.
CommResult dispatch(Transport& transport, const char* id, const char* entry, const char* function,
                    CommAnchor* anchor, const char* cursors) {
  const int code = function_code(function);
  CommResult result;
  if (code == 0) {
    PRINT('e', id, "Invalid function code to %s: %s\n", entry, function ? function : "");
    return result;
  }
  switch (code) {
    case kInit:
      result.anchor = transport.init_probe();
      break;
    case kInitc:
      result.anchor = transport.init_collector();
      break;
    case kInitsm:
      transport.init_share();
      break;
    case kShut:
      transport.shut();
      break;
    case kGet:
      if (!anchor) break;
      if (anchor->side == 'C')
        result.blocks = transport.get(anchor);
      else if (anchor->side == 'P')
        result.blocks = transport.ask(anchor, cursors, wait_timeout);
      else
        set_comm_error(anchor, 8, "Invalid IPC anchor for get request.");
      break;
    case kPut:
      if (!anchor) break;
      if (anchor->side == 'C')
        result.blocks = transport.put(anchor);
      else if (anchor->side == 'P')
        set_comm_error(anchor, 4, "Invalid request type for probe.");
      else
        set_comm_error(anchor, 4, "Invalid IPC anchor for put request.");
      break;
    case kTerm:
      if (anchor && valid_side(anchor)) result.code = transport.term(anchor);
      break;
  }
  return result;
}

}  // namespace

bool channel_trace() { return trace_level(5) != 0; }

std::string channel_time_text() {
  const std::tm tm = u_localtime(the_clock().now());
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

bool channel_uses_pipes() { return !shm_selected(); }

int wait_for_request(CommAnchor* anchor, int milliseconds) {
  if (!anchor || anchor->side != 'C') return -1;
  return selected_transport().wait_for_request(anchor, milliseconds);
}

int get_timeout_value(const char* name, int default_value) {
  const std::optional<std::string> text = u_getenv(name, 0, nullptr);
  const long value = text ? std::strtol(text->c_str(), nullptr, 10) : 0;
  if (value == 0) return default_value;
  if (static_cast<unsigned long>(value) > 600) return 600;
  return static_cast<int>(value);
}

void set_comm_error(CommAnchor* anchor, int code, const std::string& text) {
  anchor->error_code = code;
  anchor->error_text = text;
}

void build_probe_blocks(CommAnchor* anchor, const char* cursors, const std::string& path) {
  // Rebuilt on every call so that changed parameters are always sent.
  anchor->cursor_list = cursors ? std::string(cursors).substr(0, kMaxCursorList) : "";
  anchor->blocks.clear();
  for (const std::string& word : u_tokenset(anchor->cursor_list, " ,")) {
    if (word.empty()) continue;
    CursList& block = anchor->blocks.emplace_back();
    block.name = word.substr(0, kMaxCursorName);
    block.pipe_buf = build_data_request(block.name, path, anchor->parameters);
    block.requesters.push_back(path);
  }
}

void reset_channel_state() {
  wait_timeout = 0;
  last_succeed_sent_req_tm = 0;
  claim_channel(false);
  reset_pipe_state();
}

int probe_connect(std::string& looked_in) {
  return selected_transport().connect_probe(looked_in);
}

std::vector<CursList>* probe_request(CommAnchor* anchor, const char* cursors, int timeout) {
  if (!anchor || anchor->side != 'P') return nullptr;
  return selected_transport().ask(anchor, cursors, timeout);
}

CommResult qrxcomm2(const char* function, CommAnchor* anchor, const char* cursors) {
  return dispatch(shm_transport, "com2100", "QRXCOMM2", function, anchor, cursors);
}

CommResult qrxcomm(const char* function, CommAnchor* anchor, const char* cursors) {
  return dispatch(selected_transport(), "com0100", "QRXCOMM", function, anchor, cursors);
}

}  // namespace qrx
