#include "ctl/script_exit.h"

#include <cctype>
#include <string>

#include "base/log.h"
#include "ctl/control_parse.h"

namespace qrx {

int parse_script_exit(const Definitions& defs, curs& c) {
  c.script_items.clear();
  std::string_view text = c.insert_select;
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.substr(0, 7) != "SELECT " && text.substr(0, 7) != "select ") {
    PRINT('e', "pcc3990", "Invalid insert_select\n");
    return 1;
  }
  text.remove_prefix(7);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (!text.empty() && text.front() == '(') text.remove_prefix(1);
  std::size_t from = std::string_view::npos;
  for (std::size_t at = 0; at < text.size(); ++at)
    if (text.substr(at, 5) == "FROM " || text.substr(at, 5) == "from ") {
      from = at;
      break;
    }
  if (from == std::string_view::npos) {
    PRINT('e', "pcc4000", "Bad insert_select text\n");
    return 1;
  }
  std::string list(text.substr(0, from));
  for (char& ch : list)
    if (ch == '(' || ch == ')') ch = ' ';
  std::size_t at = 0;
  while (at < list.size()) {
    while (at < list.size() && (list[at] == ' ' || list[at] == ',')) ++at;
    if (at >= list.size()) break;
    std::size_t end = at;
    while (end < list.size() && list[end] != ' ' && list[end] != ',') ++end;
    const std::string name = list.substr(at, end - at);
    const dict_element* e = defs.find_dict_element(name);
    if (!e) {
      PRINT('e', "pcc4005", "No dictionary entry found for %s\n", name.c_str());
      PRINT('e', "pcc4010", "Script parsing failed\n");
      c.script_items.clear();
      return 1;
    }
    c.script_items.push_back({name, e->length, static_cast<uint16_t>(e->numeric == 2 ? 2 : 1)});
    at = end;
  }
  return 0;
}

}  // namespace qrx
