// Little-endian integer fields of the byte layouts that leave the process
// (agent rows, status replies), written and read whatever the host order.
#pragma once

#include <cstdint>

namespace qrx {

// Writes the low `width` bytes of `bits` to `out`, least significant first.
inline void put_le_bytes(char* out, uint64_t bits, int width) {
  for (int i = 0; i < width; ++i, bits >>= 8) out[i] = static_cast<char>(bits & 0xff);
}

// The `width` bytes at `in`, least significant first, as an unsigned value.
inline uint64_t get_le_bytes(const char* in, int width) {
  uint64_t bits = 0;
  for (int i = width - 1; i >= 0; --i) bits = bits << 8 | static_cast<unsigned char>(in[i]);
  return bits;
}

}  // namespace qrx
