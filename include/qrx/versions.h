// Conditional sections (if CONDITION; ... else; ... endif;) of a cursor
// block and the versions they make: every combination of branches is a
// cursor definition built from the statements on its path. The slot on
// `cur_anchor` holds the chosen version's definition; the version set
// (held by the slot) owns the others, its section tree and the statements.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

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

// The versions of one cursor, with what they were built from.
struct version_set {
  std::vector<block_statement> statements;
  std::vector<block_item> items;              // the block's top level
  std::vector<version_path> paths;            // THEN paths before ELSE paths
  // One per path. The slot holds the current version's definition and
  // version state; the current path's record is left without them (moved from).
  std::vector<std::unique_ptr<curs>> records;
  std::size_t current = 0;                    // the path whose version the slot holds
};

}  // namespace qrx
