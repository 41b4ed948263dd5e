#include "expr/memory_chain.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qrx {

namespace {

// One registered chunk.
struct M_LINK {
  void* chunk;
  std::ptrdiff_t next_offset;  // kSingleBlock for one block
  ChunkRelease release;
};

// The registry; kept for the process and emptied by free_loose_memory.
std::vector<M_LINK>& get_chain() {
  static std::vector<M_LINK> chain;
  return chain;
}

// Frees the link's memory: a chain is walked, each block's next pointer
// cleared before the block is freed.
void destroy_link(const M_LINK& link) {
  if (link.next_offset == kSingleBlock) {
    link.release(link.chunk);
    return;
  }
  void* block = link.chunk;
  while (block != nullptr) {
    char* slot = static_cast<char*>(block) + link.next_offset;
    void* next = nullptr;
    std::memcpy(&next, slot, sizeof next);
    std::memset(slot, 0, sizeof next);
    link.release(block);
    block = next;
  }
}

}  // namespace

int register_memory(void* chunk, std::ptrdiff_t next_offset, ChunkRelease release) {
  if (chunk == nullptr || release == nullptr) return 1;
  std::vector<M_LINK>& chain = get_chain();
  for (const M_LINK& link : chain)
    if (link.chunk == chunk) return 2;
  chain.push_back({chunk, next_offset, release});
  return 0;
}

int unregister_memory(void* chunk) {
  std::vector<M_LINK>& chain = get_chain();
  auto it = std::find_if(chain.begin(), chain.end(),
                         [chunk](const M_LINK& l) { return l.chunk == chunk; });
  if (it == chain.end()) return 1;
  chain.erase(it);
  return 0;
}

void free_loose_memory() {
  std::vector<M_LINK> chain;
  chain.swap(get_chain());
  for (const M_LINK& link : chain) destroy_link(link);
}

std::size_t registered_memory_count() { return get_chain().size(); }

}  // namespace qrx
