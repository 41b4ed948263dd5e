#include "agent/request_record.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qrx {

std::vector<char> build_data_request(const std::string& name, const std::string& path,
                                     const std::vector<std::string>& params) {
  std::vector<char> record(4);
  record.insert(record.end(), name.begin(), name.end());
  record.insert(record.end(), path.begin(), path.end());
  record.push_back('\0');
  for (const std::string& p : params) {
    record.insert(record.end(), p.begin(), p.end());
    record.push_back('\0');
  }
  record.push_back('\0');
  record.push_back('\0');
  const uint16_t total = static_cast<uint16_t>(record.size());
  const uint16_t name_len = static_cast<uint16_t>(name.size());
  std::memcpy(record.data(), &total, 2);
  std::memcpy(record.data() + 2, &name_len, 2);
  return record;
}

ParsedRequest parse_data_request(std::span<const char> record) {
  ParsedRequest out;
  if (record.size() < 4) return out;
  uint16_t total, name_len;
  std::memcpy(&total, record.data(), 2);
  std::memcpy(&name_len, record.data() + 2, 2);
  if (total > record.size() || 4u + name_len >= total) return out;
  out.name.assign(record.data() + 4, name_len);
  size_t pos = 4 + name_len;
  auto next_string = [&](std::string& into) {
    const char* start = record.data() + pos;
    const size_t room = total - pos;
    const size_t len = strnlen(start, room);
    into.assign(start, len);
    pos += len < room ? len + 1 : len;
  };
  next_string(out.path);
  while (pos < total && out.params.size() < static_cast<size_t>(kParamSlots)) {
    next_string(out.params.emplace_back());
  }
  out.ok = true;
  return out;
}

bool whole_request(std::span<const char> record) {
  if (record.size() < 7) return false;
  uint16_t total, name_len;
  std::memcpy(&total, record.data(), 2);
  std::memcpy(&name_len, record.data() + 2, 2);
  if (total != record.size() || 4u + name_len + 3u > total) return false;
  const char* name = record.data() + 4;
  const auto printable = [](char c) { return c > ' ' && c < 0x7f; };
  if (!std::all_of(name, name + name_len, printable)) return false;
  const char* path = name + name_len;
  return std::memchr(path, '\0', static_cast<size_t>(record.data() + total - 2 - path)) &&
         record[total - 2] == '\0' && record[total - 1] == '\0';
}

void add_request_block(CommAnchor& anchor, std::vector<char> record,
                       const std::string& requester) {
  const ParsedRequest parsed = parse_data_request(record);
  // The bytes compared start after the new record's path, so requests only
  // join when their requester paths have the same length.
  const size_t after_path = 4 + parsed.name.size() + parsed.path.size() + 1;
  for (CursList& block : anchor.blocks) {
    if (block.name != parsed.name || block.pipe_buf.size() != record.size()) continue;
    if (after_path > record.size() ||
        std::memcmp(block.pipe_buf.data() + after_path, record.data() + after_path,
                    record.size() - after_path) == 0) {
      block.requesters.push_back(requester);
      return;
    }
  }
  CursList& block = anchor.blocks.emplace_back();
  block.name = parsed.name;
  block.pipe_buf = std::move(record);
  block.requesters.push_back(requester);
}

}  // namespace qrx
