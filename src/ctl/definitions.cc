#include "ctl/definitions.h"

#include <memory>
#include <utility>
#include <vector>

namespace qrx {

const dict_element* Definitions::find_dict_element(const std::string& name) const {
  for (const auto& e : dict_anchor)
    if (e->name == name) return e.get();
  return nullptr;
}

void Definitions::del_distributor() {
  distrib_anchor.clear();
  collector_at = nullptr;
  have_evaluator = false;
}

curs& cursor_set::add(std::unique_ptr<curs> c) {
  c->owning_set = this;
  cur_anchor.push_back(std::move(c));
  return *cur_anchor.back();
}

bool cursor_set::index_prefix_kept() const {
  const Index& x = index_;
  if (x.count == 0) return true;
  if (x.count > cur_anchor.size()) return false;
  const curs* first = cur_anchor.front().get();
  const curs* last = cur_anchor[x.count - 1].get();
  return first == x.first && last == x.last && first->name == x.first_name &&
         last->name == x.last_name;
}

void cursor_set::sync_index() const {
  Index& x = index_;
  if (!index_prefix_kept()) forget_cursor_index();
  const std::size_t n = cur_anchor.size();
  if (x.count == n) return;
  for (std::size_t i = x.count; i < n; ++i) x.position.try_emplace(cur_anchor[i]->name, i);
  x.count = n;
  x.first = cur_anchor.front().get();
  x.last = cur_anchor.back().get();
  x.first_name = x.first->name;
  x.last_name = x.last->name;
}

void cursor_set::forget_cursor_index() const {
  index_.position.clear();
  index_.count = 0;
  index_.first = index_.last = nullptr;
}

curs* cursor_set::find_cursor(const std::string& name) const {
  sync_index();
  const auto it = index_.position.find(name);
  if (it == index_.position.end()) return nullptr;
  curs* c = cur_anchor[it->second].get();
  if (c->name == name) return c;
  // A cursor renamed after it was indexed: look again from scratch.
  forget_cursor_index();
  sync_index();
  const auto again = index_.position.find(name);
  return again == index_.position.end() ? nullptr : cur_anchor[again->second].get();
}

void cursor_set::drop_percent_cursor() {
  if (percent_cursor) {
    std::erase_if(cur_anchor, [this](const auto& c) { return c.get() == percent_cursor; });
    forget_cursor_index();
  }
  percent_cursor = nullptr;
  percent = percent_work{};
}

void cursor_set::del_curs() {
  cur_anchor.clear();
  forget_cursor_index();
  percent_cursor = nullptr;
  percent = percent_work{};
  below_hold_in_force = false;
  nrqs_last_cursor = nullptr;
}

}  // namespace qrx
