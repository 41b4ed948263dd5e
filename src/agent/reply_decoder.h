// Reading replies back into tables for qrxprobe: agent rows through the
// layout rebuilt from a cursor's definition, and the status records. The
// caller owns every result; the cursor given is only read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "agent/probe_output.h"
#include "ctl/definitions.h"

namespace qrx {

struct curs;

// One sent column of an agent row.
struct AgentColumn {
  std::string name;
  uint16_t conversion = 0;  // SendConversion
  uint32_t offset = 0;
  uint32_t width = 0;
};

// The agent-row layout of a cursor's reply; `problem` says why it could not
// be known (then `columns` is empty).
struct AgentLayout {
  std::vector<AgentColumn> columns;
  std::string problem;
};

// The layout of `c`'s agent rows in a reply whose rows are `lenrow` bytes,
// laid out as get_row_size lays them. Text columns without an output length
// take the width the collector learns from the database: a virtual cursor's
// from its element in `defs`' dictionary, otherwise solved from `lenrow` when
// only one is unknown (the widest width that fits, since pad bytes are zero).
AgentLayout agent_layout(const Definitions& defs, const curs& c, uint32_t lenrow);

// The `numrow` rows of `lenrow` bytes in `data` decoded through `layout`
// (not-sent columns have no value and are left out).
ProbeTable decode_agent_rows(const std::string& name, const AgentLayout& layout,
                             std::span<const char> data, int numrow, int lenrow);

// The rows as printable text, one column "row": the form used when a reply
// cannot be decoded.
ProbeTable printable_rows(const std::string& name, std::span<const char> data, int numrow,
                          int lenrow);

// "C-STATUS" or "D-STATUS" replies as a table of the useful fields (an empty
// reply gives the headers alone); false when `name` is neither or the rows
// are not status records.
bool status_table(const std::string& name, std::span<const char> data, int numrow, int lenrow,
                  ProbeTable& out);

}  // namespace qrx
