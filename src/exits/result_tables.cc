#include "exits/result_tables.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "base/trace.h"

namespace qrx {

namespace {

constexpr std::size_t kColumnNameMax = 32;

// The definition of one column; false when its type is not 1 or 2.
bool define(COLUMN_DATA& d, const std::string& name, int32_t length, int32_t db_length,
            int32_t col_type, int32_t db_type) {
  d.name = name.substr(0, kColumnNameMax);
  d.length = length;
  d.db_length = db_length;
  d.db_type = db_type;
  d.eDATATYPE = kDataCharacter;
  if (col_type != 1 && col_type != 2) {
    PRINT('e', "fxr1205", "invalid column type\n");
    d.col_type = 0;
    return false;
  }
  d.col_type = col_type;
  return true;
}

}  // namespace

std::unique_ptr<DBX> DBX_init(const std::string* serverid, const std::string* logon,
                              const std::string* password) {
  auto anchor = std::make_unique<DBX>();
  anchor->serverid = serverid;
  anchor->logon = logon;
  anchor->password = password;
  return anchor;
}

DB_DATA* DB_DATA_init(DBX& anchor, const std::shared_ptr<DB_DATA>& group, uint16_t id) {
  std::shared_ptr<DB_DATA> table = group ? group : std::make_shared<DB_DATA>();
  if (std::find(anchor.tables.begin(), anchor.tables.end(), table) == anchor.tables.end())
    anchor.tables.push_back(table);
  table->owner = &anchor;
  table->id = id;
  anchor.current = table.get();
  return table.get();
}

std::vector<COLUMN_DATA>& COLUMN_DATA_init(DB_DATA& table, int count) {
  if (table.columns.empty() && count > 0) {
    table.columns.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) table.columns[i].position = static_cast<uint16_t>(i + 1);
    table.column_count = static_cast<uint16_t>(count);
  }
  return table.columns;
}

ROW_DATA& ROW_DATA_init(DB_DATA& table) {
  auto row = std::make_unique<ROW_DATA>();
  if (!(table.flags & kTableNoRowBuffer)) row->buffer.assign(table.max_row_size, '\0');
  row->cols.resize(table.columns.size());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    ROW_COLUMN& rc = row->cols[i];
    rc.length = table.columns[i].length;
    rc.offset = table.columns[i].offset;
    rc.indicator = 1;
    rc.value = row->buffer.empty() ? nullptr : row->buffer.data() + rc.offset;
  }
  table.row_count = ++table.serial;
  table.state = 1;
  table.rows.push_back(std::move(row));
  return *table.rows.back();
}

void freeDBresults(DBX& anchor, char mode) {
  const char m = static_cast<char>(std::tolower(static_cast<unsigned char>(mode)));
  for (auto it = anchor.tables.rbegin(); it != anchor.tables.rend(); ++it) {
    DB_DATA& t = **it;
    if (t.state == 1) {
      t.rows.clear();
      t.row_count = 0;
      t.serial = 0;
      t.state = 0;
    }
    if (m == 'a' || m == 'c') {
      t.columns.clear();
      t.column_count = 0;
    }
  }
  if (m == 'a') {
    anchor.tables.clear();
    anchor.current = nullptr;
  }
}

int convertData(int dst_len, char* dst, int dst_type, int src_len, const char* src, int src_type,
                uint32_t flags) {
  if (dst_len <= 0 || !dst || !src) return 0;
  std::string number;  // a binary source printed as text
  if (src_type == kDataBinary && dst_type == kDataCharacter) {
    long long value = 0;
    if (src_len == 1) value = static_cast<signed char>(*src);
    else if (src_len == 2) { int16_t v; std::memcpy(&v, src, 2); value = v; }
    else if (src_len == 8) { int64_t v; std::memcpy(&v, src, 8); value = v; }
    else { int32_t v; std::memcpy(&v, src, 4); value = v; }
    number = std::to_string(value);
    src = number.c_str();
    src_len = static_cast<int>(number.size());
    src_type = kDataCharacter;
    if (!(flags & kConvKeepLeft)) flags |= kConvRight;
  }
  if (src_type == kDataCharacter && dst_type == kDataCharacter) {
    std::size_t n = src_len < 0 ? std::strlen(src) : static_cast<std::size_t>(src_len);
    // The NUL, when written, follows the field (where the next field starts).
    const auto room = static_cast<std::size_t>(dst_len);
    if (flags & kConvRight) std::memset(dst, ' ', room);
    if (flags & kConvTrim)
      while (n > 0 && src[n - 1] == ' ') --n;
    std::string value(src, n);
    if (value.empty()) value.push_back(' ');
    if ((flags & kConvQuote) && value[0] != '"' && value.find(' ') != std::string::npos) {
      const bool dq = value.find('"') != std::string::npos;
      const bool sq = value.find('\'') != std::string::npos;
      const char q = !dq ? '"' : !sq ? '\'' : '\t';
      if (room >= 2) {
        std::string quoted(1, q);
        quoted.append(value, 0, room - 2);
        quoted.push_back(q);
        value = std::move(quoted);
      }
    }
    if (value.size() > room) value.resize(room);
    std::size_t at = (flags & kConvRight) ? room - value.size() : 0;
    std::memcpy(dst + at, value.data(), value.size());
    std::size_t written = at + value.size();
    if ((flags & kConvPad) && written < room) {
      std::memset(dst + written, ' ', room - written);
      written = room;
    }
    if (!(flags & kConvNoNul)) dst[written] = '\0';
    return static_cast<int>(written);
  }
  if (src_type == kDataCharacter && dst_type == kDataBinary) {
    const std::size_t n = src_len < 0 ? std::strlen(src) : static_cast<std::size_t>(src_len);
    const std::string text(src, n);
    const char* allowed = dst_len >= 8 ? "0123456789+-. eEdD" : "0123456789+-. ";
    for (char ch : text)
      if (!std::strchr(allowed, ch) || ch == '\0') {
        PRINT('w', "diu4030", "Binary to character conversion error. Value:%s(%c)\n",
              text.c_str(), ch);
        return 0;
      }
    const long long value = std::atoll(text.c_str());
    if (dst_len == 1) { const auto v = static_cast<int8_t>(value); std::memcpy(dst, &v, 1); return 1; }
    if (dst_len == 2) { const auto v = static_cast<int16_t>(value); std::memcpy(dst, &v, 2); return 2; }
    if (dst_len < 4) return 0;
    const auto v = static_cast<int32_t>(value);
    std::memcpy(dst, &v, 4);
    return 4;
  }
  return 0;
}

int convert_2_column_data(const curs& c, DB_DATA& table) {
  const bool trace = trace_all || c.trace;
  uint32_t offset = 0;
  if (!c.script_items.empty()) {
    if (trace) PRINT('t', "fxr1205", "Calling sqlda_2_column_data\n");
    if (trace_all) PRINT('t', "fxr1205", "enter sqlda_2_column_data\n");
    auto& defs = COLUMN_DATA_init(table, static_cast<int>(c.script_items.size()));
    for (std::size_t i = 0; i < defs.size(); ++i) {
      const script_item& item = c.script_items[i];
      define(defs[i], item.name, item.length, item.type == kColNumeric ? 4 : item.length,
             item.type, item.type);
      defs[i].offset = static_cast<uint16_t>(offset);
      offset += static_cast<uint32_t>(std::max<int32_t>(defs[i].length, 0));
    }
    if (trace_all) PRINT('t', "fxr1205", "exit sqlda_2_column_data\n");
  } else {
    if (trace) PRINT('t', "fxr1205", "Calling curs_columns_2_column_data\n");
    if (trace_all) PRINT('t', "fxr1205", "enter curs_columns_2_column_data\n");
    auto& defs = COLUMN_DATA_init(table, static_cast<int>(c.cols.size()));
    for (std::size_t i = 0; i < defs.size(); ++i) {
      const columns& col = *c.cols[i];
      // Before the first merge a column knows only the length written after "^".
      const int32_t length = col.stored_length > 0 ? col.stored_length : col.output_length;
      define(defs[i], col.name, length, col.db_length ? col.db_length : length,
             col.col_type ? col.col_type : static_cast<uint16_t>(kColCharacter), col.data_type);
      defs[i].offset = static_cast<uint16_t>(offset);
      offset += static_cast<uint32_t>(std::max<int32_t>(defs[i].length, 0));
    }
    if (trace_all) PRINT('t', "fxr1205", "enter curs_columns_2_column_data\n");
  }
  table.max_row_size = offset + 1;
  return table.column_count;
}

}  // namespace qrx
