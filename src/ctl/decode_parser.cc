// Decode statements: COLUMN OPERATOR [OPERAND] [AND OPERATOR OPERAND]...
// followed by ", REPLACEMENT" or "RUN CURSOR".

#include "ctl/decode_parser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "ctl/control_parse.h"

namespace qrx {

namespace {

constexpr std::size_t kNameMax = 50;  // a column name must be shorter

// Decode operators as written; `in_and` when an AND part may use it.
struct OperatorWord {
  const char* text;
  uint16_t code;
  bool in_and;
};

constexpr OperatorWord kOperators[] = {
    {"=", kOpEqual, true},          {">", kOpGreater, true},
    {"<", kOpLess, true},           {"&", kOpAnd, true},
    {">=", kOpGreaterEqual, true},  {"<=", kOpLessEqual, true},
    {"~=", kOpNotEqual, true},      {"in", kOpIn, false},
    {"IN", kOpIn, false},           {"NULL", kOpNull, false},
    {"null", kOpNull, false},       {"search", kOpSearch, true},
    {"SEARCH", kOpSearch, true},    {"DEFAULT", kOpDefault, false},
    {"default", kOpDefault, false},
};

// Identifiers of "Invalid decode operator in %s\n" by the operator's length.
const char* bad_operator_id(std::size_t length, bool in_and) {
  if (in_and) {
    switch (length) {
      case 1: return "pde3915";
      case 2: return "pde3920";
      case 6: return "pde3925";
      default: return "pde3930";
    }
  }
  switch (length) {
    case 1: return "pde3750";
    case 2: return "pde3755";
    case 4: return "pde3760";
    case 6: return "pde3765";
    case 7: return "pde3770";
    default: return "pde3775";
  }
}

// One word of a decode statement.
struct Word {
  std::string text;
  bool quoted = false;
  bool comma = false;
};

// Cuts a decode statement into words: quoted strings (quotes removed, up to
// the closing quote), commas, and runs of other characters up to a blank or
// a comma.
class DecodeWords {
 public:
  explicit DecodeWords(std::string_view text) : text_(text) {}

  // The next word, or false at the end.
  bool next(Word& w) {
    w = Word{};
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    if (pos_ >= text_.size()) return false;
    const char first = text_[pos_];
    if (first == ',') {
      ++pos_;
      w.comma = true;
      w.text.assign(1, ',');
      return true;
    }
    if (first == '\'' || first == '"') {
      const std::size_t close = text_.find(first, pos_ + 1);
      const std::size_t end = close == std::string_view::npos ? text_.size() : close;
      w.text = std::string(text_.substr(pos_ + 1, end - pos_ - 1));
      w.quoted = true;
      pos_ = close == std::string_view::npos ? end : close + 1;
      return true;
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ' ' && text_[pos_] != '\t' && text_[pos_] != ',')
      ++pos_;
    w.text = std::string(text_.substr(start, pos_ - start));
    return true;
  }

  // True when the next word is `a` or `b`; consumes it then.
  bool take(const char* a, const char* b) {
    const std::size_t saved = pos_;
    Word w;
    if (next(w) && !w.quoted && (w.text == a || w.text == b)) return true;
    pos_ = saved;
    return false;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

bool is_number(const Word& w) {
  if (w.quoted || w.comma || w.text.empty()) return false;
  const char c = w.text[0];
  if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.'))
    return false;
  char* end = nullptr;
  std::strtod(w.text.c_str(), &end);
  return end && *end == '\0' && end != w.text.c_str();
}

const OperatorWord* find_operator(const std::string& text, bool in_and) {
  for (const OperatorWord& o : kOperators)
    if (text == o.text && (!in_and || o.in_and)) return &o;
  return nullptr;
}

// Message identifiers of the operand checks, for an entry or an AND part.
struct OperandIds {
  const char* missing;
  const char* not_numeric;
  const char* too_long;
};
constexpr OperandIds kEntryIds = {"pde3780", "pde3785", "pde3790"};
constexpr OperandIds kPartIds = {"pde3940", "pde3945", "pde3950"};

// Operand of an entry or an AND part.
struct Operand {
  uint16_t type = kOperandNone;
  double number = 0;
  int64_t mask = 0;
  std::string text;
  std::string column;
};

// Reads the operand after operator `op`; false after logging.
bool read_operand(DecodeWords& words, uint16_t op, const OperandIds& ids, const std::string& all,
                  Operand& out) {
  Word w;
  if (!words.next(w) || w.comma) {
    PRINT('e', ids.missing, "Invalid text after operator in %s\n", all.c_str());
    return false;
  }
  if (op == kOpAnd) {
    if (!is_number(w)) {
      PRINT('e', ids.not_numeric, "And operator (&) requires numeric constant\n");
      return false;
    }
    errno = 0;
    out.mask = std::strtoll(w.text.c_str(), nullptr, 10);
    out.number = std::strtod(w.text.c_str(), nullptr);
    out.type = kOperandNumber;
    out.text = w.text;
    return true;
  }
  if (is_number(w)) {
    out.type = kOperandNumber;
    out.number = std::strtod(w.text.c_str(), nullptr);
    out.text = w.text;
    return true;
  }
  if (w.quoted) {
    out.type = kOperandString;
    out.text = w.text;
    return true;
  }
  if (w.text.size() >= kNameMax) {
    PRINT('e', ids.too_long, "Column name length excessive in %s\n", all.c_str());
    return false;
  }
  out.type = op == kOpIn ? kOperandInList : kOperandColumn;
  out.column = w.text;
  return true;
}

// One AND part; false after logging.
bool parse_and(std::vector<part>& parts, DecodeWords& words, const std::string& all) {
  Word w;
  const bool have = words.next(w);
  const OperatorWord* o = have && !w.quoted ? find_operator(w.text, true) : nullptr;
  if (!o) {
    PRINT('e', bad_operator_id(have ? w.text.size() : 0, true), "Invalid decode operator in %s\n",
          all.c_str());
    return false;
  }
  Operand operand;
  if (!read_operand(words, o->code, kPartIds, all, operand)) return false;
  part p;
  p.operatr = o->code;
  p.operand_type = operand.type;
  p.number = operand.number;
  p.and_mask = operand.mask;
  p.operand = operand.text;
  p.operand_column = operand.column;
  parts.push_back(std::move(p));
  return true;
}

// Reads the replacement; `run` when it names a cursor to run. False after logging.
bool read_replacement(DecodeWords& words, bool run, const std::string& all, decode_op& op) {
  Word w;
  if (!words.next(w) || w.comma) {
    PRINT('e', "pde3795", "Bad decode syntax : %s\n", all.c_str());
    return false;
  }
  if (!run && is_number(w)) {
    op.replacement_type = kReplaceNumber;
    op.replacement = w.text;
  } else if (!run && w.quoted) {
    op.replacement_type = kReplaceString;
    op.replacement = w.text;
  } else {
    if (w.text.size() >= kNameMax) {
      PRINT('e', "pde3805", "Replacement Column name length excessive in %s\n", all.c_str());
      return false;
    }
    op.replacement_type = run ? kReplaceRun : kReplaceColumn;
    op.replacement_column = w.text;
  }
  return true;
}

void trace_entry(const decode_op& op) {
  PRINT('t', "pde3810", "Decode_op->operatr = %d\n", op.operatr);
  PRINT('t', "pde3815", "Decode_op->operand_type = %d\n", op.operand_type);
  PRINT('t', "pde3820", "Decode_op->op_num = %f\n", op.op_num);
  PRINT('t', "pde3825", "Decode_op->operand_ll = %d\n", static_cast<int>(op.operand.size()));
  if (!op.operand.empty())
    PRINT('t', "pde3830", "Decode_op->operator = %s\n", op.operand.c_str());
  else
    PRINT('t', "pde3835", "No operand\n");
  PRINT('t', "pde3831", "Decode_op->operand_column = %s\n", op.operand_column.c_str());
  PRINT('t', "pde3840", "Decode_op->replacement_type = %d\n", op.replacement_type);
  PRINT('t', "pde3845", "Decode_op->replacement_ll = %d\n",
        static_cast<int>(op.replacement.size()));
  if (!op.replacement.empty())
    PRINT('t', "pde3850", "Decode_op->replacement = %s\n", op.replacement.c_str());
  else
    PRINT('t', "pde3855", "No replacement\n");
  PRINT('t', "pde3860", "Decode_op->replacement_column = %s\n", op.replacement_column.c_str());
  if (!op.and_parts.empty())
    PRINT('t', "pde3865", "Has and text\n");
  else
    PRINT('t', "pde3870", "Has no and text\n");
  PRINT('t', "pde3875", "Decode_op->curslist = %d\n", 0);
}

}  // namespace

int parse_decode(curs& c, std::string_view text, std::vector<std::unique_ptr<decode>>& chain) {
  const std::string all(text);
  DecodeWords words(text);
  Word column;
  if (!words.next(column) || column.comma) {
    PRINT('e', "pde3740", "Bad decode syntax : %s\n", all.c_str());
    return 1;
  }
  if (column.text.size() >= kNameMax) {
    PRINT('e', "pde3745", "Column name too long (%d) in %s\n", static_cast<int>(column.text.size()),
          all.c_str());
    return 1;
  }
  Word w;
  const bool have = words.next(w);
  const OperatorWord* o = have && !w.quoted ? find_operator(w.text, false) : nullptr;
  if (!o) {
    PRINT('e', bad_operator_id(have ? w.text.size() : 0, false), "Invalid decode operator in %s\n",
          all.c_str());
    return 1;
  }
  decode_op op;
  op.operatr = o->code;
  if (o->code == kOpNull || o->code == kOpDefault) {
    // These take no operand: the next word is the replacement. A comma or
    // "run" before it is accepted as in the other forms.
    const bool run = words.take("run", "RUN");
    if (!run) words.take(",", ",");
    if (!read_replacement(words, run, all, op)) return 1;
  } else {
    Operand operand;
    if (!read_operand(words, o->code, kEntryIds, all, operand)) return 1;
    op.operand_type = operand.type;
    op.op_num = operand.number;
    op.and_mask = operand.mask;
    op.operand = operand.text;
    op.operand_column = operand.column;
    while (words.take("and", "AND"))
      if (!parse_and(op.and_parts, words, all)) return 1;
    Word sep;
    if (!words.next(sep)) {
      PRINT('e', "pde3795", "Bad decode syntax : %s\n", all.c_str());
      return 1;
    }
    const bool run = !sep.quoted && (sep.text == "run" || sep.text == "RUN");
    if (!run && !sep.comma) {
      PRINT('e', "pde3800", "Bad decode syntax : %s\n", all.c_str());
      return 1;
    }
    if (!read_replacement(words, run, all, op)) return 1;
  }
  if (c.traced) trace_entry(op);
  for (auto& d : chain) {
    if (d->name == column.text) {
      d->ops.push_back(std::move(op));
      return 0;
    }
  }
  auto d = std::make_unique<decode>();
  d->name = column.text;
  d->ops.push_back(std::move(op));
  chain.push_back(std::move(d));
  return 0;
}

int parse_decode(curs& c, std::string_view text) { return parse_decode(c, text, c.decodes); }

int parse_iterate_where(curs& c, std::string_view text) {
  if (c.iterate_where) {
    PRINT('e', "pit4475", "Only one ITERATE_WHERE allowed per cursor\n");
    return 1;
  }
  std::vector<std::unique_ptr<decode>> chain;
  std::string whole(text);
  whole += kConditionTail;
  if (parse_decode(c, whole, chain) != 0) return 1;
  c.iterate_where = std::move(chain.front());
  return 0;
}

std::vector<std::string> decode_keywords() {
  std::vector<std::string> words;
  for (const OperatorWord& op : kOperators) {
    const std::string word = u_strlower(op.text);
    if (std::isalpha(static_cast<unsigned char>(word[0])) &&
        std::find(words.begin(), words.end(), word) == words.end())
      words.push_back(word);
  }
  return words;
}

}  // namespace qrx
