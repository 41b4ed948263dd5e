// Conditional sections (if CONDITION; ... else; ... endif;) of a cursor
// block and the versions they make (records in qrx/versions.h): building
// the paths, checking the conditions and choosing the version that holds.
#pragma once

#include <string>
#include <vector>

#include "ctl/definitions.h"
#include "qrx/curs.h"
#include "qrx/versions.h"

namespace qrx {

constexpr int kSectionDepthMax = 50;   // nested sections of one block
constexpr int kVersionsMax = 256;      // versions of one cursor

// Every path through `items`, THEN before ELSE; false when there would be
// more than kVersionsMax.
bool enumerate_versions(const std::vector<block_item>& items, std::vector<version_path>& out);

// Compiles `text` as a condition (parse_condition) with `defs`' expression
// engine to check it; false when it does not compile.
bool condition_compiles(Definitions& defs, const std::string& text);

// Compiles `text` as condition_compiles does and also checks that each of
// its operators finds its arguments (operators_have_arguments); false after
// logging why not.
bool condition_evaluable(Definitions& defs, const std::string& text);

// Chooses the version of `slot` whose conditions hold now and, when it
// differs, exchanges the slot's definition and version state with it (the
// slot keeps its links and cursor state); `time` (now text) becomes the selection
// time. -1 when a condition cannot be evaluated now (slot unchanged), 0
// unchanged, 1 changed. The conditions are evaluated by `defs`' expression engine.
int select_cursor_version(Definitions& defs, curs& slot, const std::string& time);

// Once after the parse: a version that holds (hold "Y") marks its hold as
// the definition's. Returns 0.
int define_vers_chain(cursor_set& cursors);

}  // namespace qrx
