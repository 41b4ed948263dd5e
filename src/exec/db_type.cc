#include "exec/db_type.h"

#include "base/text.h"

namespace qrx {

namespace {

// First three letters (lower case), product code, second code (null: unchanged).
struct DbTypeRule {
  const char* letters;
  const char* product;
  const char* second;
};

constexpr DbTypeRule kDbTypes[] = {
    {"xmb", "xmb", nullptr}, {"xpa", "xpa", nullptr}, {"xcn", "xcn", nullptr},
    {"xvt", "xvt", nullptr}, {"qrx", "qrx", nullptr}, {"xjl", "xjl", "db2"},
    {"syb", "xmb", nullptr}, {"ora", "xpa", nullptr}, {"inf", "xcn", nullptr},
    {"sql", "xvt", nullptr}, {"db2", "db2", "xjl"},   {"xhh", "xhh", "xxx"},
};

}  // namespace

void coll_db_type(db_type_codes& record, std::string_view type) {
  if (type.empty()) return;
  const std::string letters = u_strlower(type.substr(0, 3));
  for (const DbTypeRule& rule : kDbTypes) {
    if (letters != rule.letters) continue;
    record.product = rule.product;
    if (rule.second) record.second = rule.second;
    return;
  }
  record.product = letters;
  record.second = "unk";
}

}  // namespace qrx
