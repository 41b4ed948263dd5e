// The fixed byte layouts of the status replies: one 456-byte record per
// cursor ("C-STATUS") and one 788-byte record per distributor ("D-STATUS"),
// built from the in-memory records. The caller owns the returned bytes.
#pragma once

#include <cstddef>
#include <vector>

namespace qrx {

constexpr std::size_t kCursorStatusSize = 456;
constexpr std::size_t kDistributorStatusSize = 788;

// One cursor status record per cursor on the chain, back to back.
std::vector<char> cursor_status_rows();

// One distributor status record per distributor, back to back.
std::vector<char> distributor_status_rows();

}  // namespace qrx
