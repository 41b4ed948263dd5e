// Distributor records: the collector and the consumers of its rows, as
// declared in PROCESS.CTL. Built at start-up and owned by the chain
// `distrib_anchor` of the definitions that read the file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qrx/window.h"

namespace qrx {

constexpr int kMaxHolidays = 100;
constexpr int kMaxClass = 50;

struct distributor {
  int16_t type = 0;  // 1 local, 2 sql*net, 3 dial, 4 ctlib; 0 when not given
  std::string distrib_name;  // up to 24 characters
  std::string logon_id;      // up to 33 characters
  std::string password;      // up to 100 characters, as written
  std::string server_id;     // up to 33 characters, blank-padded to 8
  WindowList saturday, sunday, mon_fri;  // already shifted by the time offset
  int32_t time_offset = 0;   // seconds added to local time for this process
  std::array<int32_t, kMaxHolidays> holidays{};  // day numbers; 0 = free slot
  int32_t interval = 0;      // seconds
  char hold = 0;             // 'Y', 'N' or 0 when not given
  char continuous = 0;       // 'Y', 'N' or 0 (collector only)
  std::array<int16_t, kMaxClass + 1> classes{};  // 1 when the class is served
  int32_t window_start = 0, window_end = 0, next_time = 0;  // relative seconds
  int16_t state = 1;         // bit 1: active
  int16_t send_false = 0;    // evaluator: also send rows that stopped matching
  std::string status;        // "GOOD" or "FAIL" after a run
  std::string last_run;      // now text of the last run

  distributor() { classes[0] = 1; }
};

}  // namespace qrx
