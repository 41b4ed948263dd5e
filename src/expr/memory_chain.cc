#include "expr/memory_chain.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "expr/context.h"

namespace qrx {

namespace {

// Frees the link's memory: a chain is walked, each block's next pointer
// cleared before the block is freed.
void destroy_link(const MemoryLink& link) {
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

int register_memory(ExprContext& cx, void* chunk, std::ptrdiff_t next_offset,
                    ChunkRelease release) {
  if (chunk == nullptr || release == nullptr) return 1;
  std::vector<MemoryLink>& chain = cx.memory;
  for (const MemoryLink& link : chain)
    if (link.chunk == chunk) return 2;
  chain.push_back({chunk, next_offset, release});
  return 0;
}

int unregister_memory(ExprContext& cx, void* chunk) {
  std::vector<MemoryLink>& chain = cx.memory;
  auto it = std::find_if(chain.begin(), chain.end(),
                         [chunk](const MemoryLink& l) { return l.chunk == chunk; });
  if (it == chain.end()) return 1;
  chain.erase(it);
  return 0;
}

void free_loose_memory(ExprContext& cx) {
  std::vector<MemoryLink> chain;
  chain.swap(cx.memory);
  if (!chain.empty()) note_term_change(cx);  // the chunks may be terms that lists point at
  for (const MemoryLink& link : chain) destroy_link(link);
}

std::size_t registered_memory_count(const ExprContext& cx) { return cx.memory.size(); }

}  // namespace qrx
