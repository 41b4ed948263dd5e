// Stored rows: one fetched (or built) row of a cursor in the stored layout,
// and the chain of them that a cursor owns. A row is one allocation: a fixed
// header followed by the row's data and a terminating zero byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qrx {

// One stored row. Columns sit at their stored offsets in data(); character
// text is blank-padded, numbers right-aligned.
struct row_data {
  row_data* next = nullptr;   // next newer row
  uint32_t data_length = 0;   // filled for dummy and virtual rows, 0 for fetched rows
  uint32_t spare = 0;         // stays 0
  int32_t sample = 0;         // sample number the row belongs to
  int32_t ordinal = 0;        // position within its sample, from 1

  char* data() { return reinterpret_cast<char*>(this + 1); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
};
static_assert(sizeof(row_data) == 24 || sizeof(void*) != 8, "stored-row header grew");

// A cursor's stored rows, oldest first; owns them.
class row_chain {
 public:
  row_chain() = default;
  ~row_chain() { clear(); }
  row_chain(const row_chain&) = delete;
  row_chain& operator=(const row_chain&) = delete;

  // A new unlinked row with `length` data bytes plus the terminating zero,
  // data zero-filled; the caller links it with append() or frees it with release().
  static row_data* allocate(std::size_t length);
  // Frees an unlinked row.
  static void release(row_data* row);

  // Links `row` as the newest row; the chain owns it from now on.
  void append(row_data* row);
  // Frees the oldest row; nothing when empty.
  void drop_oldest();
  // Frees every row whose sample number is at most `sample`; returns how many.
  int drop_samples_up_to(int32_t sample);
  // Frees every row.
  void clear();

  row_data* first() const { return head_; }
  row_data* last() const { return tail_; }
  int32_t count() const { return count_; }
  bool empty() const { return head_ == nullptr; }

 private:
  row_data* head_ = nullptr;
  row_data* tail_ = nullptr;
  int32_t count_ = 0;
};

// Frees a row made by row_chain::allocate that no chain owns.
struct row_release {
  void operator()(row_data* row) const { row_chain::release(row); }
};
// A stored row owned outside any chain (a cursor's one-row result).
using owned_row = std::unique_ptr<row_data, row_release>;

}  // namespace qrx
