// Stored rows: one fetched (or built) row of a cursor in the stored layout,
// and the chain of them that a cursor owns. A row is a fixed header followed
// by the row's data and a terminating zero byte; rows are carved from blocks
// (a chain fills one block after the other, a lone row has a block of its
// own), and a block goes when its last row is freed.
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
  uint32_t age = 0;           // seconds the row has been kept (keep-by-time ageing)
  int32_t sample = 0;         // sample number the row belongs to
  int32_t ordinal = 0;        // position within its sample, from 1

  char* data() { return reinterpret_cast<char*>(this + 1); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
};
static_assert(sizeof(row_data) == 24 || sizeof(void*) != 8, "stored-row header grew");

// A block of rows (stored_rows.cc); each row is preceded by its block's address.
struct row_block;

// A cursor's stored rows, oldest first; owns them.
class row_chain {
 public:
  row_chain() = default;
  ~row_chain();
  row_chain(const row_chain&) = delete;
  row_chain& operator=(const row_chain&) = delete;
  // Moving hands every row over; the source is left empty.
  row_chain(row_chain&& other) noexcept { take(other); }
  row_chain& operator=(row_chain&& other) noexcept {
    if (this != &other) {
      clear();
      take(other);
    }
    return *this;
  }

  // A new unlinked row with `length` data bytes plus the terminating zero,
  // data zero-filled unless the caller writes every byte itself
  // (`zero_fill` false), in a block of its own; the caller links it with
  // append() (to any chain) or frees it with release().
  static row_data* allocate(std::size_t length, bool zero_fill = true);
  // As allocate, carved from the block this chain fills: the rows of a run
  // share a few large blocks instead of one allocation each.
  row_data* allocate_here(std::size_t length, bool zero_fill = true);
  // Frees an unlinked row.
  static void release(row_data* row);

  // Links `row` as the newest row; the chain owns it from now on.
  void append(row_data* row);
  // Frees the oldest row; nothing when empty.
  void drop_oldest();
  // Frees every row whose sample number is at most `sample`; returns how many.
  int drop_samples_up_to(int32_t sample);
  // Frees every row for which `drop(row)` is true (it may change the row
  // first); returns how many.
  template <class Pred>
  int drop_if(Pred drop);
  // Frees every row.
  void clear();

  row_data* first() const { return head_; }
  // The row other cursors read as this cursor's last row: the newest row,
  // or the row set with position_last while an iteration or a post-cursor
  // looks at an older one.
  row_data* last() const { return position_ ? position_ : tail_; }
  // The newest row, whatever the position.
  row_data* newest() const { return tail_; }
  // Makes last() answer `row` (a row of this chain; null: the newest row).
  // Adding or freeing rows clears the position.
  void position_last(row_data* row) { position_ = row; }
  row_data* position() const { return position_; }
  int32_t count() const { return count_; }
  bool empty() const { return head_ == nullptr; }

 private:
  void take(row_chain& other) {
    head_ = other.head_;
    tail_ = other.tail_;
    position_ = other.position_;
    count_ = other.count_;
    other.head_ = other.tail_ = other.position_ = nullptr;
    other.count_ = 0;
  }

  row_data* head_ = nullptr;
  row_data* tail_ = nullptr;
  row_data* position_ = nullptr;
  int32_t count_ = 0;
  row_block* filling_ = nullptr;  // the block allocate_here carves from
};

template <class Pred>
int row_chain::drop_if(Pred drop) {
  position_ = nullptr;
  int dropped = 0;
  row_data* kept_tail = nullptr;
  row_data** link = &head_;
  while (row_data* row = *link) {
    if (drop(*row)) {
      *link = row->next;
      release(row);
      ++dropped;
    } else {
      kept_tail = row;
      link = &row->next;
    }
  }
  tail_ = kept_tail;
  count_ -= dropped;
  return dropped;
}

// Frees a row made by row_chain::allocate that no chain owns.
struct row_release {
  void operator()(row_data* row) const { row_chain::release(row); }
};
// A stored row owned outside any chain (a cursor's one-row result).
using owned_row = std::unique_ptr<row_data, row_release>;

}  // namespace qrx
