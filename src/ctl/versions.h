// Conditional sections (if CONDITION; ... else; ... endif;) of a cursor
// block and the versions they make: every combination of branches is a
// complete cursor record built from the statements on its path. The slot on
// `cur_anchor` holds the chosen version's contents; the version set (shared
// by the slot) owns the others, its section tree and the statement texts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

constexpr int kSectionDepthMax = 50;   // nested sections of one block
constexpr int kVersionsMax = 256;      // versions of one cursor

struct IF_NODE;

// One piece of a block: a statement (by index) or a conditional section.
struct block_item {
  int statement = -1;
  std::unique_ptr<IF_NODE> section;
};

// A conditional section: its condition and its two branches.
struct IF_NODE {
  std::string condition;            // condition text, as written after "if"
  std::vector<block_item> then_part;
  std::vector<block_item> else_part;
  bool has_else = false;
  IF_NODE* parent = nullptr;        // enclosing section, null at the block's top
  std::string location;             // where fault messages place the if statement
};

// A statement of a block, kept for building the versions.
struct block_statement {
  std::string text;       // the whole statement as read
  std::string location;   // where fault messages place it
};

// One version: the branches taken, in the order the sections are met, and
// the statements on that path.
struct version_path {
  std::vector<bool> branches;   // true: THEN
  std::vector<int> statements;
  std::vector<bool> after_section;  // per statement: a top-level one after a section
};

struct version_set {
  std::vector<block_statement> statements;
  std::vector<block_item> items;              // the block's top level
  std::vector<version_path> paths;            // THEN paths before ELSE paths
  std::vector<std::unique_ptr<curs>> records; // one per path; the slot holds the current one's contents
  std::size_t current = 0;                    // the path whose record the slot holds
};

// Every path through `items`, THEN before ELSE; false when there would be
// more than kVersionsMax.
bool enumerate_versions(const std::vector<block_item>& items, std::vector<version_path>& out);

// Compiles `text` as a condition (parse_condition) to check it; false when
// it does not compile.
bool condition_compiles(const std::string& text);

// Compiles `text` as condition_compiles does and also checks that each of
// its operators finds its arguments (operators_have_arguments); false after
// logging why not.
bool condition_evaluable(const std::string& text);

// Chooses the version of `slot` whose conditions hold now and exchanges the
// slot's contents when it differs; `time` (now text) becomes the selection
// time. -1 when a condition cannot be evaluated now (slot unchanged), 0
// unchanged, 1 changed.
int select_cursor_version(curs& slot, const std::string& time);

// Once after the parse: a version that holds (hold "Y") marks its hold as
// the definition's. Returns 0.
int define_vers_chain();

}  // namespace qrx
