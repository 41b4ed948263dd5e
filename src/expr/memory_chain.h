// Memory chains: a context's registry of long-lived allocations (term tables
// and the like) so that whatever is still registered when the context ends,
// or when its owner asks, is released in one call.
#pragma once

#include <cstddef>

namespace qrx {

class ExprContext;

// Frees one block of a registered chunk.
using ChunkRelease = void (*)(void* block);

// Offset meaning "one block, no chain of blocks".
constexpr std::ptrdiff_t kSingleBlock = -1;

// One registered chunk.
struct MemoryLink {
  void* chunk;
  std::ptrdiff_t next_offset;  // kSingleBlock for one block
  ChunkRelease release;
};

// Registers `chunk`: one block (`next_offset` kSingleBlock) or a chain of
// blocks whose next pointer sits at `next_offset` in each block; `release`
// frees one block. 0 registered, 1 no chain (null chunk or release), 2 already registered.
int register_memory(ExprContext& cx, void* chunk, std::ptrdiff_t next_offset,
                    ChunkRelease release);

// Forgets `chunk` without freeing it (its owner frees it); 0, or 1 when not registered.
int unregister_memory(ExprContext& cx, void* chunk);

// Frees every registered chunk (each block of a chain) and empties the registry.
void free_loose_memory(ExprContext& cx);

// Number of chunks registered now.
std::size_t registered_memory_count(const ExprContext& cx);

}  // namespace qrx
