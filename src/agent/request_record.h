// The request record (data_request) that names a cursor, its requester and its
// parameters, and the grouping of equal requests into cursor blocks. Records
// are byte vectors owned by the caller or by the block that holds them.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "qrx/channel.h"

namespace qrx {

// The record for `name`, `path` and `params`: 16-bit total length, 16-bit name
// length, the name, the path and each parameter NUL-terminated, two zero bytes.
std::vector<char> build_data_request(const std::string& name, const std::string& path,
                                     const std::vector<std::string>& params);

// A record taken apart; `ok` is false when the lengths do not fit the bytes.
struct ParsedRequest {
  bool ok = false;
  std::string name;
  std::string path;
  std::vector<std::string> params;  // every string after the path, at most 40
};
ParsedRequest parse_data_request(std::span<const char> record);

// True when `record` is exactly one whole request record: its length field
// equals its size, the name is printable, the path ends with a NUL and the
// record ends with two zero bytes.
bool whole_request(std::span<const char> record);

// Adds the request `record` from `requester` to the anchor's blocks: joins the
// block of an equal request (same name, same length, same bytes after the
// path) or appends a new one.
void add_request_block(CommAnchor& anchor, std::vector<char> record, const std::string& requester);

}  // namespace qrx
