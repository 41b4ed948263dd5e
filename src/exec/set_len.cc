#include "exec/set_len.h"

#include <algorithm>

#include "base/log.h"

namespace qrx {

int init_set_len(curs& c, std::span<const std::string> item_names) {
  if (c.set_lens_resolved) return 0;
  int rc = 0;
  for (set_len& s : c.set_lens) {
    const auto found = std::find(item_names.begin(), item_names.end(), s.name);
    if (found == item_names.end()) {
      PRINT('e', "pcl4570", "For cursor %s the set_len name (%s) not_found\n", c.name.c_str(),
            s.name.c_str());
      PRINT('w', "pcl4575", "Holding cursor\n");
      c.hold = 'Y';
      rc = 1;
      continue;
    }
    s.item = static_cast<int>(found - item_names.begin());
  }
  if (rc == 0) c.set_lens_resolved = 1;
  return rc;
}

void set_the_lengths(const curs& c, std::span<int> fetch_lengths) {
  for (const set_len& s : c.set_lens)
    if (s.item >= 0 && static_cast<std::size_t>(s.item) < fetch_lengths.size())
      fetch_lengths[s.item] = std::clamp<int>(s.length, 0, kMaxColumnLength);
}

}  // namespace qrx
