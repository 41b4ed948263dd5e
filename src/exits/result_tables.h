// Result tables of a fetch exit: column definitions taken from the cursor
// and one row of text values per output line. An anchor (DBX) holds the
// tables of one run; a table's column definitions are kept by the cursor
// (curs::exit_table, qrx/exit_columns.h) from run to run while its rows live
// for one run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

// convertData flags.
enum : uint32_t {
  kConvPad = 0x01,         // pad with blanks to the destination length
  kConvRight = 0x02,       // right-align
  kConvKeepLeft = 0x04,    // converted numbers stay left-aligned
  kConvQuote = 0x08,       // quote a value that contains a blank
  kConvTrim = 0x10,        // remove trailing blanks from the source
  kConvNoNul = 0x20,       // no NUL after the value
};

// Table flag: rows carry no buffer of their own.
constexpr uint16_t kTableNoRowBuffer = 0x20;

// One column of a result row.
struct ROW_COLUMN {
  int32_t length = 0;    // value length
  uint16_t offset = 0;   // field offset in the row buffer
  int16_t indicator = 1; // 1: not null
  char* value = nullptr; // row buffer + offset
};

// One result row: a buffer of the table's maximum row size and its columns.
struct ROW_DATA {
  std::vector<char> buffer;
  std::vector<ROW_COLUMN> cols;
};

struct DBX;

// One result table.
struct DB_DATA {
  int state = 0;              // 0 empty, 1 holds rows
  uint16_t flags = 0;
  uint16_t id = 0;
  uint32_t max_row_size = 0;  // sum of the column lengths + 1
  uint16_t column_count = 0;
  uint16_t row_count = 0;
  uint16_t serial = 0;
  std::vector<COLUMN_DATA> columns;
  std::vector<std::unique_ptr<ROW_DATA>> rows;  // in output order
  DBX* owner = nullptr;
};

// The anchor of one exit run; points at the settings' identity texts.
struct DBX {
  const std::string* serverid = nullptr;
  const std::string* logon = nullptr;
  const std::string* password = nullptr;
  std::vector<std::shared_ptr<DB_DATA>> tables;
  DB_DATA* current = nullptr;
};

// A new anchor for one run.
std::unique_ptr<DBX> DBX_init(const std::string* serverid, const std::string* logon,
                              const std::string* password);

// Without `group`: appends a new empty table to the anchor. With `group` (a
// table kept from an earlier run): attaches it to the anchor. Either way the
// table gets `id` and becomes the anchor's current table, which is returned.
DB_DATA* DB_DATA_init(DBX& anchor, const std::shared_ptr<DB_DATA>& group, uint16_t id);

// The table's column definitions, made once (zeroed, numbered 1 to `count`).
std::vector<COLUMN_DATA>& COLUMN_DATA_init(DB_DATA& table, int count);

// Appends a new row with each column's length, offset and value pointer
// taken from its definition and its indicator 1; the table then holds rows.
ROW_DATA& ROW_DATA_init(DB_DATA& table);

// Frees the rows of every table of the anchor, last table first, and resets
// their counts and state; mode 'c' also frees the column definitions, mode
// 'a' the tables themselves (either case).
void freeDBresults(DBX& anchor, char mode);

// Converts the value at `src` (`src_len` bytes; negative: up to its NUL)
// of type `src_type` into `dst` (`dst_len` bytes) of type `dst_type` under
// `flags` (kConv*); unless kConvNoNul a NUL follows at dst[dst_len] or
// earlier. Returns the bytes written (the NUL not counted); a text
// that is not a number for a binary destination writes nothing ("diu4030").
int convertData(int dst_len, char* dst, int dst_type, int src_len, const char* src, int src_type,
                uint32_t flags);

// Builds the table's column definitions from `c`: its script's result
// columns when it has them, else its own columns. Offsets run without a
// spare byte; the maximum row size is their sum + 1. Returns the count.
int convert_2_column_data(const curs& c, DB_DATA& table);

}  // namespace qrx
