// The channel entry: one function, qrxcomm, gives both the collector and the
// agent's probe side every channel operation by a function code, over shared
// memory (the default) or named pipes (COLL_USESHM not starting with "1").
// Anchors made by "init"/"initc" belong to the caller until "term" frees them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qrx/channel.h"

namespace qrx {

// What a function code gives back.
struct CommResult {
  int code = 0;                            // "term", "shut", "initsm", unknown codes
  CommAnchor* anchor = nullptr;            // "init"/"initc": the new anchor, or null
  std::vector<CursList>* blocks = nullptr;  // "get"/"put": the anchor's blocks, or null
};

// One way of carrying requests and replies between the probe side and the
// collector. The entry checks function codes and anchor sides; a transport
// only moves the data.
class Transport {
 public:
  virtual ~Transport() = default;
  // "init": a new probe-side anchor, or null.
  virtual CommAnchor* init_probe() = 0;
  // "initc": a new collector-side anchor, or null.
  virtual CommAnchor* init_collector() = 0;
  // "initsm": sets up what both sides share (may end the process).
  virtual void init_share() = 0;
  // The probe's set-up in place of "initsm": 0 when a collector is there to
  // ask, kNoCollector when none runs, -1 on another failure. Makes nothing
  // while no collector runs. `looked_in` receives the directory looked at.
  virtual int connect_probe(std::string& looked_in) = 0;
  // "get" on a collector anchor: the anchor's blocks, or null.
  virtual std::vector<CursList>* get(CommAnchor* anchor) = 0;
  // As probe_request, on a probe anchor.
  virtual std::vector<CursList>* ask(CommAnchor* anchor, const char* cursors, int timeout) = 0;
  // "put" on a collector anchor: the blocks left unsent, or null.
  virtual std::vector<CursList>* put(CommAnchor* anchor) = 0;
  // "term": ends and frees the anchor; 0 on success.
  virtual int term(CommAnchor* anchor) = 0;
  // "shut": lets go of what "initsm" set up.
  virtual void shut() = 0;
  // As wait_for_request, on a collector anchor.
  virtual int wait_for_request(CommAnchor* anchor, int milliseconds) = 0;
};

// Runs function code `function` ("init", "initc", "get", "put", "term",
// "shut", "initsm"); `cursors` is the probe's cursor-name list for "get".
// Failures are left in the anchor's error code and text.
CommResult qrxcomm(const char* function, CommAnchor* anchor = nullptr,
                   const char* cursors = nullptr);

// The client side with a deadline: asks for the cursors of `cursors` on probe
// anchor `anchor` (what "get" does with WAIT_TIMEOUT) and gives up once
// `timeout` seconds have passed, whoever else is asking: the wait for the
// channel, the requests and the replies all count. The anchor's blocks with
// their replies, or null with the anchor's error set; past the deadline the
// text is kNoAnswer (code 20 over shared memory, 1 over the pipes).
std::vector<CursList>* probe_request(CommAnchor* anchor, const char* cursors, int timeout);
// The error text of a client whose deadline passed.
extern const char* const kNoAnswer;

// What probe_connect answers when no collector runs for the server.
constexpr int kNoCollector = 1;

// Sets up the probe side of the selected transport without ever making a
// channel: over shared memory it attaches to the channel of a running
// collector, over pipes it checks that the collector's FIFO has a reader.
// 0 when a collector is there, kNoCollector when none runs (no id file, none
// of its processes alive, no FIFO or none reading it), -1 on another failure.
// `looked_in` receives the directory where the collector was looked for.
int probe_connect(std::string& looked_in);

// qrxcomm over the shared-memory transport whatever COLL_USESHM says.
CommResult qrxcomm2(const char* function, CommAnchor* anchor = nullptr,
                    const char* cursors = nullptr);

// Seconds from environment variable `name`: unset or 0 gives `default_value`,
// above 600 (or negative) gives 600.
int get_timeout_value(const char* name, int default_value);

// Waits up to `milliseconds` for a request to reach the collector's anchor
// without taking it (the next "get" does): 1 when one is waiting, 0 when the
// time ran out or a signal came, -1 when there is no channel to wait on.
int wait_for_request(CommAnchor* anchor, int milliseconds);

// True when the pipe transport is in force.
bool channel_uses_pipes();

// True when the channel trace (trace slot 5) is on.
bool channel_trace();

// The local date and time as text, for channel messages.
std::string channel_time_text();

// Wait time of this process's channel calls, set by the first "init"/"initc".
extern int wait_timeout;

// Forgets the process-wide channel state (wait time, last send time, the
// collector's claim on the channel, cached pipe names and counters) as if no
// "init" had run. For tests.
void reset_channel_state();

// Pipe transport, behind the entry's pipe Transport.
CommAnchor* pipe_init_probe();
CommAnchor* pipe_init_collector();
// "get" on a collector anchor.
std::vector<CursList>* pipe_get(CommAnchor* anchor);
// probe_request over the pipes.
std::vector<CursList>* pipe_ask(CommAnchor* anchor, const char* cursors, int timeout);
std::vector<CursList>* pipe_put(CommAnchor* anchor);
int pipe_term(CommAnchor* anchor);
// Waits for the collector's pipe to hold a request; as wait_for_request.
int pipe_wait_for_request(CommAnchor* anchor, int milliseconds);
// The collector's pipe path.
std::string collector_pipe_path();
// A probe pipe path that names no file now (nothing is made).
std::string new_probe_path();
// True when surely no collector reads its pipe: the FIFO is missing, is no
// FIFO, or has no reader. Opens the FIFO at most for a moment, writing nothing.
bool pipe_collector_absent();
void reset_pipe_state();

// Sets the anchor's error code and text.
void set_comm_error(CommAnchor* anchor, int code, const std::string& text);
// Characters of a probe's cursor-name list that are read; the rest is cut.
constexpr std::size_t kMaxCursorList = 99;
// Splits a probe's cursor-name list into blocks with requests for `path`.
void build_probe_blocks(CommAnchor* anchor, const char* cursors, const std::string& path);

}  // namespace qrx
