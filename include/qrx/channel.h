// Records of the agent channel: the byte layouts of the two shared-memory
// segments and of the pipe reply header (these bytes cross the process
// boundary), and the in-process anchor and cursor blocks that the channel
// entry hands to the collector. An anchor is owned by whoever called "init" or
// "initc" until "term"; the blocks belong to the anchor.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qrx {

// ---- Shared-memory segments (32-bit little-endian integers, NUL-padded texts)

constexpr int kRequestNameSize = 15;
constexpr int kUniqueSize = 50;
constexpr int kParamSlots = 40;
constexpr int kParamSlotSize = 20;
constexpr int kRequestDataSize = 30000;
constexpr int kDataBlockSize = 99000;

// The request segment: one request at a time from the agent to the collector.
struct RequestSegment {
  int32_t attach_count;
  int32_t read_block;   // set to 0 by the reader after each request
  int32_t write_block;  // set to 0 by the writer before each request
  char name[kRequestNameSize];
  char unique[kUniqueSize];
  char params[kParamSlots][kParamSlotSize];
  char data[kRequestDataSize];
  char pad[3];
  int32_t timeout;          // request time-out in seconds
  int32_t request_written;  // epoch seconds of the last request written
  int32_t data_written;     // epoch seconds of the last data block, -1 when none pending
};

// The data segment: reply blocks from the collector to the agent.
struct DataSegment {
  int32_t attach_count;
  int32_t read_block;
  int32_t write_block;
  int32_t reader_done;  // 1 when the previous reply was read or cleaned away
  char unique[kUniqueSize];
  char pad[2];
  int32_t numrow;
  int32_t lenrow;
  char block[kDataBlockSize];
};

static_assert(offsetof(RequestSegment, name) == 12);
static_assert(offsetof(RequestSegment, unique) == 27);
static_assert(offsetof(RequestSegment, params) == 77);
static_assert(offsetof(RequestSegment, data) == 877);
static_assert(offsetof(RequestSegment, timeout) == 30880);
static_assert(offsetof(RequestSegment, request_written) == 30884);
static_assert(offsetof(RequestSegment, data_written) == 30888);
static_assert(sizeof(RequestSegment) == 30892);
static_assert(offsetof(DataSegment, reader_done) == 12);
static_assert(offsetof(DataSegment, unique) == 16);
static_assert(offsetof(DataSegment, numrow) == 68);
static_assert(offsetof(DataSegment, lenrow) == 72);
static_assert(offsetof(DataSegment, block) == 76);

constexpr int kRequestSegmentBytes = 30892;
constexpr int kDataSegmentBytes = 100000;
static_assert(sizeof(DataSegment) <= kDataSegmentBytes);

// ---- Pipe transport

// Reply header on a probe's pipe, followed by rows x length bytes of rows.
struct StreamHeader {
  int32_t rows;
  int32_t length;
};
static_assert(sizeof(StreamHeader) == 8);

// A pipe request record must be shorter than this, its cursor name at most 8.
constexpr int kMaxPipeRecord = 301;
constexpr int kMaxCursorName = 8;

// ---- In-process records of the channel entry

// One requested cursor (curs_list): the request record, who asked, and the
// reply rows once the collector has filled them.
struct CursList {
  std::string name;                     // at most 8 characters
  std::vector<char> pipe_buf;           // the data_request record
  std::vector<std::string> requesters;  // requester pipe paths ("AGT" over shared memory)
  int32_t numrow = 0;
  int32_t lenrow = 0;
  std::string data;        // numrow x lenrow bytes of rows
  std::string unique;      // probe side: unique id of this block's request
};

// One side's channel state (comm_anchor).
struct CommAnchor {
  char side = 0;  // 'P' probe (agent) side, 'C' collector side
  struct sigaction saved_sigpipe {};
  std::string cursor_list;  // probe: the cursor-name list last asked for
  int probe_fd = -1;        // probe: read end of its own pipe
  int coll_fd = -1;         // collector: read end of its pipe; probe: write end while sending
  int extra_fd = -1;        // write end kept open on this side's own pipe
  std::string probe_path;   // probe's pipe, or the requester being answered; "AGT" over shm
  std::string coll_path;    // collector's pipe; "COL" over shm
  std::string unique;       // last request id sent or received (shm)
  std::vector<CursList> blocks;
  int error_code = 0;
  std::string error_text;
  std::vector<std::string> parameters;  // current request's parameters, at most 40
};

}  // namespace qrx
