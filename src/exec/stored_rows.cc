#include "exec/stored_rows.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <sys/mman.h>

#include "base/dump.h"
#include "base/log.h"
#include "base/memory.h"
#include "ctl/control_parse.h"
#include "qrx/distributor.h"

namespace qrx {

namespace {

constexpr int kFullDumpRows = 4;
constexpr std::size_t kAbbreviatedBytes = 199;

}  // namespace

// Rows sit in blocks: a block's header, then slots of the block's address
// followed by a row, each slot a multiple of the row header's alignment. A
// block is freed when its last row goes and no chain carves from it.
struct row_block {
  std::size_t capacity = 0;  // slot bytes after the header
  std::size_t used = 0;
  int32_t live = 0;          // rows carved and not yet released
  bool filling = false;      // a chain still carves rows from it
  bool mapped = false;       // a huge-page mapping of kLargestBlock bytes, else malloc
};

namespace {

constexpr std::size_t kSlotAlign = alignof(row_data);
constexpr std::size_t kBlockHeader =
    (sizeof(row_block) + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
// A chain's blocks grow with the rows it holds, between these bounds.
constexpr std::size_t kSmallestBlock = 1024;
// The largest blocks are huge-page mappings: a run of a million rows touches
// a few hundred pages instead of a hundred thousand.
constexpr std::size_t kLargestBlock = std::size_t{2} << 20;

std::size_t slot_size(std::size_t length) {
  const std::size_t bytes = sizeof(row_block*) + sizeof(row_data) + length + 1;
  return (bytes + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
}

// A kLargestBlock mapping aligned to its size, marked for huge pages; null
// when none could be made.
void* map_huge_block() {
  const std::size_t size = kLargestBlock;
  void* area = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(area);
  const uintptr_t aligned = (start + size - 1) & ~(uintptr_t{size} - 1);
  if (aligned > start) munmap(area, aligned - start);
  if (const uintptr_t end = start + 2 * size; end > aligned + size)
    munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

// The process's mapped blocks (one pool per process, as the mappings are).
// Blocks whose rows have all gone are kept for the next runs: a cursor
// whose runs replace a large result reuses pages already touched instead of
// having hundreds of fresh ones zeroed. `recent` were freed since the last
// trim, `older` before it; a trim returns `older` to the system. Never
// destroyed: chains of static cursors may free blocks during exit.
struct BlockPool {
  std::vector<void*> recent, older;
  std::size_t mapped_bytes = 0;  // of the blocks now holding rows, for mapped_row_block_bytes
};
BlockPool& block_pool() {
  static BlockPool* pool = new BlockPool;
  return *pool;
}

// A mapped block from the pool (the older first: they go at the next
// trim), else a new mapping; null when none could be made.
void* take_huge_block() {
  BlockPool& pool = block_pool();
  for (std::vector<void*>* kept : {&pool.older, &pool.recent}) {
    if (kept->empty()) continue;
    void* block = kept->back();
    kept->pop_back();
    return block;
  }
  return map_huge_block();
}

row_block* new_block(std::size_t capacity) {
  void* memory = nullptr;
  bool mapped = false;
  if (kBlockHeader + capacity == kLargestBlock) {
    memory = take_huge_block();
    mapped = memory != nullptr;
    if (mapped) block_pool().mapped_bytes += kLargestBlock;
  }
  if (!memory) memory = std::malloc(kBlockHeader + capacity);
  if (!memory) no_mem();
  auto* block = new (memory) row_block;
  block->capacity = capacity;
  block->mapped = mapped;
  return block;
}

void free_block(row_block* block) {
  const bool mapped = block->mapped;
  block->~row_block();
  if (mapped) {
    BlockPool& pool = block_pool();
    pool.mapped_bytes -= kLargestBlock;
    pool.recent.push_back(block);
  } else {
    std::free(block);
  }
}

row_block*& block_of(row_data* row) { return *(reinterpret_cast<row_block**>(row) - 1); }

// Takes a slot of `length` data bytes from `block`, which has room for it.
row_data* carve(row_block* block, std::size_t length, bool zero_fill) {
  char* slot = reinterpret_cast<char*>(block) + kBlockHeader + block->used;
  block->used += slot_size(length);
  ++block->live;
  auto* row = new (slot + sizeof(row_block*)) row_data;
  block_of(row) = block;
  if (zero_fill) std::memset(row->data(), 0, length + 1);
  return row;
}

// The chain no longer carves from `block`: it goes when it holds no row.
void retire(row_block* block) {
  if (!block) return;
  block->filling = false;
  if (block->live == 0) free_block(block);
}

}  // namespace

std::size_t mapped_row_block_bytes() { return block_pool().mapped_bytes; }

std::size_t pooled_row_block_bytes() {
  const BlockPool& pool = block_pool();
  return (pool.recent.size() + pool.older.size()) * kLargestBlock;
}

void trim_row_blocks() {
  BlockPool& pool = block_pool();
  for (void* block : pool.older) munmap(block, kLargestBlock);
  pool.older.clear();
  pool.older.swap(pool.recent);
}

row_chain::~row_chain() {
  clear();
  retire(filling_);
}

row_data* row_chain::allocate(std::size_t length, bool zero_fill) {
  return carve(new_block(slot_size(length)), length, zero_fill);
}

row_data* row_chain::allocate_here(std::size_t length, bool zero_fill) {
  const std::size_t need = slot_size(length);
  // A block whose rows have all gone is filled again from its start: a
  // cursor whose runs replace their rows keeps using the same memory.
  if (filling_ && filling_->live == 0) filling_->used = 0;
  if (!filling_ || filling_->capacity - filling_->used < need) {
    retire(filling_);
    // About the bytes the chain holds: a run of many rows gets blocks that
    // double, a cursor that keeps a few rows small ones.
    const std::size_t held = static_cast<std::size_t>(count_) * need;
    filling_ = new_block(
        std::max(need, std::clamp(held, kSmallestBlock, kLargestBlock - kBlockHeader)));
    filling_->filling = true;
  }
  return carve(filling_, length, zero_fill);
}

void row_chain::release(row_data* row) {
  if (!row) return;
  row_block* block = block_of(row);
  row->~row_data();
  if (--block->live == 0 && !block->filling) free_block(block);
}

void row_chain::append(row_data* row) {
  position_ = nullptr;
  row->next = nullptr;
  if (tail_)
    tail_->next = row;
  else
    head_ = row;
  tail_ = row;
  ++count_;
}

void row_chain::drop_oldest() {
  if (!head_) return;
  position_ = nullptr;
  row_data* old = head_;
  head_ = old->next;
  if (!head_) tail_ = nullptr;
  --count_;
  release(old);
}

int row_chain::drop_samples_up_to(int32_t sample) {
  return drop_if([sample](const row_data& row) { return row.sample <= sample; });
}

void row_chain::clear() {
  while (head_) drop_oldest();
}

int32_t next_row_ordinal(const curs& c) {
  const row_data* newest = c.stored.newest();
  return newest && newest->sample == c.sample_no ? newest->ordinal + 1 : 1;
}

void link_row(curs& c, row_data* row) {
  row->sample = c.sample_no;
  row->ordinal = next_row_ordinal(c);
  c.stored.append(row);
  while (c.limit > 0 && c.stored.count() > c.limit) c.stored.drop_oldest();
  c.rows_changed = 1;
  c.history_due = 1;  // every path that adds rows passes here
}

row_data* add_stored_row(curs& c, std::string_view data, uint32_t data_length) {
  row_data* row = c.stored.allocate_here(data.size());
  std::memcpy(row->data(), data.data(), data.size());
  row->data_length = data_length;
  link_row(c, row);
  return row;
}

void delete_by_samples(curs& c) {
  if (c.samples <= 0) return;
  if (c.stored.drop_samples_up_to(c.sample_no - c.samples) > 0) c.rows_changed = 1;
}

int delete_by_time(curs& c) {
  if (c.time_limit <= 0 || c.stored.empty()) return 0;
  int32_t collector_interval = c.collector ? c.collector->interval : 0;
  const auto age = static_cast<uint32_t>(std::max({c.interval, collector_interval, 0}));
  const auto keep = static_cast<uint32_t>(c.time_limit);
  const int dropped = c.stored.drop_if([age, keep](row_data& row) {
    // Saturate: a row kept for decades must not wrap back to young.
    row.age = row.age > UINT32_MAX - age ? UINT32_MAX : row.age + age;
    return row.age >= keep;
  });
  if (dropped > 0) c.rows_changed = 1;
  return 0;
}

void delete_all(curs& c) {
  if (c.trace) PRINT('t', "pdr3000", "Deleting (%d) rows for cursor %s\n", c.stored.count(),
                     c.name.c_str());
  c.stored.clear();
  c.rows_changed = 1;
}

void place_value(char* field, std::size_t width, std::string_view value, bool numeric) {
  // Runs for every column of every stored row: each byte is written once.
  if (const void* zero = value.empty() ? nullptr : std::memchr(value.data(), '\0', value.size()))
    value = value.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - value.data()));
  if (numeric) {
    std::size_t end = value.size();
    while (end > 0 && value[end - 1] == ' ') --end;
    const std::size_t n = std::min(end, width);
    std::memset(field, ' ', width - n);
    std::memcpy(field + width - n, value.data() + end - n, n);
    return;
  }
  const std::size_t n = std::min(value.size(), width);
  std::memcpy(field, value.data(), n);
  std::memset(field + n, ' ', width - n);
}

void proded(int row_number, const char* data, std::size_t length) {
  if (row_number <= kFullDumpRows) {
    PRINT('t', "cat1610", "Dump of row %d\n", row_number);
    u_print_dumpx("cat1610", data, length);
    return;
  }
  const std::string shown =
      u_printable(std::string_view(data, std::min(length, kAbbreviatedBytes)), 'p');
  PRINT('t', "cat1609", "Abbrv dump of row %d. %.80s\n", row_number, shown.c_str());
}

void dump_rows(const curs& c) {
  int number = 0;
  for (const row_data* row = c.stored.first(); row; row = row->next)
    proded(++number, row->data(), c.row_length);
}

}  // namespace qrx
