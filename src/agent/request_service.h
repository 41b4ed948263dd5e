// Serving the agent's requests in the collector: the collector's channel
// anchor, one batch of requests per call of do_rqs (cursor rows, status
// copies and the RETRACE and SHUTDOWN commands), and the wait that lets the
// scheduler's sleeps end when a request arrives. The anchor lives for the
// process; reply rows belong to their cursor block until "put" frees them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ctl/definitions.h"
#include "qrx/channel.h"

namespace qrx {

// Result of do_rqs when no request was waiting.
constexpr int kNoRequest = 100;
// Result of do_rqs when the channel could not be built: the collector ends
// with it.
constexpr int kChannelFailureCode = -1004;

// The collector's channel anchor, made by the first do_rqs; null before.
extern CommAnchor* ipc_ptr;

// Serves the pending requests: 0 when all were served, -1 when one could not
// be served or the channel failed, 100 when no request was waiting, and
// kChannelFailureCode when the channel cannot be built. Status requests are
// answered from `defs`.
int do_rqs(Definitions& defs);

// Fills `block` with the rows of the cursor of `cursors` it names: 0 (also with no rows
// while the cursor's window is closed), 1 when the cursor is unknown, held,
// without rows or its fetch failed.
int get_probe_data(cursor_set& cursors, CursList& block);

// Hands the request parameters to the "%parm" columns of the percent cursor of `cursors`, the
// first parameter to the first such column; trailing empty entries (the
// record's terminator) are no parameters.
void hand_request_parameters(cursor_set& cursors, const std::vector<std::string>& params);

// Sleeps `seconds`, ending early once a request is waiting on the channel and
// relative second `serve_from` has begun, or at once while a reload or a
// terminating signal waits (signal_waiting()). A plain sleep while there is no channel.
void wait_for_request_or_sleep(int32_t seconds, int32_t serve_from);

// True when a request is waiting on the channel or arrives within
// `milliseconds`, without taking it; false while there is no channel.
bool request_waiting(int milliseconds);

// Sends "term" on the anchor and forgets it; 0 when released. For the exit path.
int terminate_request_channel();

// Sends "shut" on the channel; for the exit path.
void send_shut();

}  // namespace qrx
