// Column definitions of a fetch exit's result table. The exits make them
// from a cursor's columns on its first exit run; the cursor keeps them from
// run to run (curs::exit_table) and each run's table takes a copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrx {

// Data types of a result column (eDATATYPE).
enum : int32_t { kDataCharacter = 1, kDataBinary = 2 };

// One column definition, numbered from 1 in order.
struct COLUMN_DATA {
  int32_t col_type = 0;       // 1 character, 2 numeric; 0 when invalid
  int32_t eDATATYPE = kDataCharacter;
  int32_t db_type = 0;        // type of the source column
  std::string name;           // at most 32 characters
  uint16_t offset = 0;        // of the field in the row buffer
  int32_t db_length = 0;
  int32_t length = 0;
  uint16_t position = 0;
};

// The column definitions of one cursor's result table.
struct exit_columns {
  std::vector<COLUMN_DATA> columns;
  uint32_t max_row_size = 0;  // sum of the column lengths + 1
};

}  // namespace qrx
