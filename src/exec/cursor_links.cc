#include "exec/cursor_links.h"

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/find_col.h"
#include "qrx/curs.h"

namespace qrx {

namespace {

// Messages of one kind of link: naming the owner itself, naming no cursor.
struct LinkMessages {
  const char* self_id;
  const char* self_format;     // the owner's name
  const char* missing_id;
  const char* missing_format;  // the name, then the owner's name
};

// Points `target` at the cursor of `cursors` called `name`; false after logging.
bool link_cursor(cursor_set& cursors, const curs& owner, const std::string& name, curs*& target, const LinkMessages& m) {
  if (name == owner.name) {
    PRINT('e', m.self_id, m.self_format, owner.name.c_str());
    return false;
  }
  target = cursors.find_cursor(name);
  if (target) return true;
  PRINT('e', m.missing_id, m.missing_format, name.c_str(), owner.name.c_str());
  return false;
}

constexpr LinkMessages kPreCursorLinks = {"ppr3115", "Can't pre_cursor yourself in cursor %s\n", "ppr3120",
                                          "Pre_cursor %s not found for cursor %s\n"};
constexpr LinkMessages kIterateLinks = {"pit3130", "Can't iterate yourself in cursor %s\n", "pit3135",
                                        "Iterator %s not found for cursor %s\n"};

}  // namespace

int edit_pre_cursors(cursor_set& cursors) {
  int failed = 0;
  for (const auto& c : cursors.cur_anchor)
    for (pre_cursor& pre : c->pre_cursors)
      if (!link_cursor(cursors, *c, pre.name, pre.cursor, kPreCursorLinks)) failed = 1;
  return failed;
}

int edit_iterates(cursor_set& cursors) {
  int failed = 0;
  for (const auto& c : cursors.cur_anchor)
    if (c->iterator && !link_cursor(cursors, *c, c->iterator->name, c->iterator->cursor, kIterateLinks)) failed = 1;
  return failed;
}

namespace {

columns* find_column(curs& c, const std::string& name) {
  for (const auto& col : c.cols)
    if (col->name == name) return col.get();
  return nullptr;
}

// Resolves one qualified column of `c`; false after logging.
bool resolve_qualified(cursor_set& cursors, curs& c, columns& col) {
  const std::size_t point = col.name.find('.');
  if (point == std::string::npos) {
    PRINT('e', "pmg3160", "Qualified name (%s) is invalid\n", col.name.c_str());
    return false;
  }
  const std::string cursor_part = col.name.substr(0, point);
  const std::string column_part = col.name.substr(point + 1);
  curs* source = cursors.find_cursor(cursor_part);
  if (!source) {
    PRINT('e', "pmg3165", "Source cursor (%s) not found for %s\n", cursor_part.c_str(), c.name.c_str());
    return false;
  }
  if (source == &c) {
    PRINT('e', "pmg3170", "Cant reference to the same cursor for %s\n", col.name.c_str());
    return false;
  }
  bool ok = true;
  if (!c.age_to.empty() && c.age_to == source->name) {
    // Reported, but the column is still resolved so that every fault shows.
    PRINT('e', "pmg3175", "Column reference (%s) to own aged data not allowed\n", col.name.c_str());
    ok = false;
  }
  // A column of another version is taken until the versions are chosen
  // again; while it is not the active one, the rows hold no such column.
  columns* from = find_column(*source, column_part);
  if (!from) from = search_inactive_versions(*source, column_part);
  if (!from) {
    PRINT('e', "pmg3180", "Source column (%s) not found for %s\n", column_part.c_str(), c.name.c_str());
    return false;
  }
  col.source_cursor = source;
  col.source_column = from;
  return ok;
}

}  // namespace

int set_qualifieds(cursor_set& cursors) {
  int failed = 0;
  int resolved = 0;
  for (const auto& c : cursors.cur_anchor) {
    for (const auto& col : c->cols) {
      if (!col->qualified) continue;
      if (resolve_qualified(cursors, *c, *col))
        ++resolved;
      else
        failed = 1;
    }
  }
  if (failed)
    PRINT('e', "pmg3185", "Qualified name resolution failed\n");
  else
    PRINT('i', "pmg3190", "Qualified name resolution successful, %d resolved\n", resolved);
  return failed;
}

}  // namespace qrx
