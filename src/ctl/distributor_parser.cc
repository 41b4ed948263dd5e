// PROCESS.CTL: the distributors with their type, logon, windows, holidays,
// interval and classes; the required "collector" distributor.

#include <bitset>
#include <optional>

#include "base/clock.h"
#include "base/control_files.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/text.h"
#include "base/trace.h"
#include "base/windows.h"
#include "ctl/control_parse.h"
#include "ctl/cursor_parser.h"
#include "ctl/parse_common.h"
#include "ctl/statement_reader.h"
#include "ctl/word_scanner.h"
#include "qrx/distributor.h"

namespace qrx {

namespace {

enum DistCode {
  kProcess = 1, kType = 2, kLogonId = 3, kPassword = 4, kSaturdayStart = 6, kSaturdayEnd = 7,
  kSundayStart = 8, kSundayEnd = 9, kMonFriStart = 10, kMonFriEnd = 11, kInterval = 12,
  kHoliday = 13, kServerId = 14, kTimeOffset = 16, kSleep = 21, kHold = 22, kContinuous = 23,
  kClass = 24, kSendFalse = 25, kMachineId = 26, kEnd = 27,
};

enum class Rule { kBlock, kEnd, kType, kText, kWindow, kInterval, kHoliday, kTimeOffset, kSleep,
                  kYesNo, kClass, kMachineId };

struct DistKeyword {
  const char* lower;  // the two spellings accepted
  const char* upper;
  int code;
  Rule rule;
  ParseMsg duplicate = {};  // no id: no duplicate check
  ParseMsg length = {};
  std::string distributor::*text = nullptr;
  std::size_t longest = 0;
  int day = 0;
  bool window_end = false;
};

constexpr DistKeyword plain(const char* l, const char* u, int code, Rule rule) {
  return {l, u, code, rule};
}
constexpr DistKeyword text(const char* l, const char* u, int code, std::string distributor::*t,
                           std::size_t longest, ParseMsg dup, ParseMsg len) {
  return {l, u, code, Rule::kText, dup, len, t, longest};
}
constexpr DistKeyword window(const char* l, const char* u, int code, int day, bool end,
                             ParseMsg dup, ParseMsg len) {
  return {l, u, code, Rule::kWindow, dup, len, nullptr, 4, day, end};
}

const DistKeyword distrib_key_word[] = {
    plain("process", "PROCESS", kProcess, Rule::kBlock),
    {"type", "TYPE", kType, Rule::kType, {"ppc0995", "Duplicate type specification\n"}},
    text("logon_id", "LOGON_ID", kLogonId, &distributor::logon_id, 33,
         {"ppc1115", "Duplicate logon_id specification\n"}, {"ppc1120", "Excessive length for logon_id\n"}),
    text("password", "PASSWORD", kPassword, &distributor::password, 100,
         {"ppc1105", "Duplicate password specification\n"}, {"ppc1110", "Excessive length for password\n"}),
    window("Saturday_start", "SATURDAY_START", kSaturdayStart, kSaturday, false,
           {"ppc1060", "Duplicate saturday_start specification\n"},
           {"ppc1065", "Incorrect length for saturday_start (4)\n"}),
    window("Saturday_end", "SATURDAY_END", kSaturdayEnd, kSaturday, true,
           {"ppc1070", "Duplicate saturday_end specification\n"},
           {"ppc1075", "Incorrect length for saturday_end (4)\n"}),
    window("Sunday_start", "SUNDAY_START", kSundayStart, kSunday, false,
           {"ppc1040", "Duplicate sunday_start specification\n"},
           {"ppc1045", "Incorrect length for sunday_start (4)\n"}),
    window("Sunday_end", "SUNDAY_END", kSundayEnd, kSunday, true,
           {"ppc1050", "Duplicate sunday_end specification\n"},
           {"ppc1055", "Incorrect length for sunday_end (4)\n"}),
    window("Mon_Fri_start", "MON_FRI_START", kMonFriStart, kMonFri, false,
           {"ppc1020", "Duplicate mon_fri_start specification\n"},
           {"ppc1025", "Incorrect length for mon_fri_start (4)\n"}),
    window("Mon_Fri_end", "MON_FRI_END", kMonFriEnd, kMonFri, true,
           {"ppc1030", "Duplicate mon_fri_end specification\n"},
           {"ppc1035", "Incorrect length for mon_fri_end (4)\n"}),
    {"interval", "INTERVAL", kInterval, Rule::kInterval, {"ppc1080", "Duplicate interval\n"},
     {"ppc1085", "Invalid interval length (5)\n"}},
    plain("holiday", "HOLIDAY", kHoliday, Rule::kHoliday),
    text("server_id", "SERVER_ID", kServerId, &distributor::server_id, 33,
         {"ppc1095", "Duplicate server_id specification\n"}, {"ppc1100", "Excessive length for server_id\n"}),
    {"time_offset", "TIME_OFFSET", kTimeOffset, Rule::kTimeOffset, {"ppc0990", "Duplicate time_offset\n"}},
    {"sleep", "SLEEP", kSleep, Rule::kSleep, {}, {"ppc1090", "Invalid sleep length (5)\n"}},
    plain("hold", "HOLD", kHold, Rule::kYesNo),
    plain("continuous", "CONTINUOUS", kContinuous, Rule::kYesNo),
    plain("class", "CLASS", kClass, Rule::kClass),
    plain("send_false", "SEND_FALSE", kSendFalse, Rule::kYesNo),
    {"machine_id", "MACHINE_ID", kMachineId, Rule::kMachineId, {},
     {"ppc1125", "Excessive length for Machine_id\n"}},
    plain("end", "END", kEnd, Rule::kEnd),
};

const DistKeyword* find_keyword(std::string_view word) {
  for (const DistKeyword& k : distrib_key_word)
    if (word == k.lower || word == k.upper) return &k;
  return nullptr;
}

// Connection types: the spellings accepted and the code each gives.
constexpr struct {
  const char* lower;
  const char* upper;
  int16_t code;
} kTypes[] = {
    {"local", "LOCAL", 1}, {"sql*net", "SQL*NET", 2}, {"dial", "DIAL", 3}, {"ctlib", "CTLIB", 4},
};

constexpr ParseBanner kProcBanner = {
    {"ppc0880", "ppc0881", "ppc0882"}, "-- Starting parse of PROCESS.CTL -- Time = %s\n",
    {"ppc1186", "ppc1187", "ppc1188"}, "--  Process Parsing ended at %s\n"};

constexpr std::size_t kNameMax = 24;
constexpr std::size_t kMachineIdMax = sizeof machine_id.hostname;
constexpr int32_t kLongestValue = 4;  // characters of an interval or sleep value

// Replaces the word after every "password"/"PASSWORD" by "***" in an echoed line.
void mask_password(std::string& line, bool& pending) {
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    if (line[i] == ';') {
      pending = false;
      ++i;
      continue;
    }
    std::size_t e = line.find_first_of(" \t;", i);
    if (e == std::string::npos) e = line.size();
    if (pending) {
      line.replace(i, e - i, "***");
      e = i + 3;
      pending = false;
    } else {
      const std::string_view word(line.data() + i, e - i);
      pending = word == "password" || word == "PASSWORD";
    }
    i = e;
  }
}

constexpr ReaderOptions kProcReader = {"ppc0870", true, mask_password};

class DistParser {
 public:
  DistParser(Definitions& defs, StatementReader& reader)
      : defs_(defs), reader_(reader), scanner_(statement_) {}

  int run();

 private:
  bool statement();
  bool open_record();
  bool close_record();
  bool value_word(const DistKeyword& k);
  bool type_value(const DistKeyword& k);
  bool text_value(const DistKeyword& k);
  bool window_value(const DistKeyword& k);
  bool holiday_value();
  bool yes_no_value(const DistKeyword& k);
  bool class_value();
  std::optional<int32_t> number(const DistKeyword& k);
  std::string raw_to_blank();
  bool duplicate(const DistKeyword& k);
  int finish();

  Definitions& defs_;
  StatementReader& reader_;
  std::string statement_;
  WordScanner scanner_;
  std::unique_ptr<distributor> cur_;
  std::bitset<32> seen_;                   // keyword codes given in this block
  std::bitset<kMaxClass + 1> classes_given_;
  std::optional<int32_t> held_start_[kDays], held_end_[kDays];
  int32_t now_ = 0;
  int32_t today_ = 0;
  bool errors_ = false;
  bool ended_ = false;
};

int DistParser::run() {
  now_ = relative_now(the_clock().now());
  today_ = now_ / kSecondsPerDay;
  defs_.del_distributor();
  write_start_banner(kProcBanner);
  bool stop = false;
  while (!stop && !ended_) {
    const StatementReader::Status status = reader_.next(statement_);
    if (status == StatementReader::kEnd) break;
    if (status == StatementReader::kTooLong) {
      PRINT('e', "ppc0875", "Statement ending on line %d exceeds %zu characters\n", reader_.line(),
            kStatementMax);
      stop = true;
      break;
    }
    stop = !statement();
  }
  if (stop) errors_ = true;
  if (!ended_ && !stop) {
    PRINT('e', "ppc1185", "Missing end statement\n");
    errors_ = true;
  }
  reader_.end_location();
  write_end_banner(kProcBanner);
  return finish();
}

// Names the collector, completes the day lists and computes the first windows.
int DistParser::finish() {
  if (errors_) {
    PRINT('e', "ppc1195", "Parsing ended with errors\n\n");
    return 1;
  }
  for (auto& d : defs_.distrib_anchor) {
    if (d->distrib_name == "collector") {
      defs_.collector_at = d.get();
      if (d->time_offset != 0) PRINT('w', "ppc1210", "Caution! - collector has a time offset\n");
    }
    for (WindowList* list : {&d->saturday, &d->sunday, &d->mon_fri})
      if (list->empty()) list->push_back(full_day);
  }
  if (!defs_.collector_at) {
    PRINT('e', "ppc1230", "Must have a process named 'collector'\n");
    return 1;
  }
  for (auto& d : defs_.distrib_anchor) set_window(*d, now_);
  return 0;
}

// Handles one statement; false when the parse must stop.
bool DistParser::statement() {
  scanner_.reset();
  const int consumed = scanner_.next();
  if (consumed == 0) return true;
  if (consumed < 0) {
    PRINT('e', "ppc0878", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  const std::string word = scanner_.parse_word.str();
  const DistKeyword* k = find_keyword(word);
  if (!cur_ && !ended_ && defs_.distrib_anchor.empty() && (!k || k->code != kProcess)) {
    PRINT('e', "ppc0890", "First word must be 'process'\n");
    return false;
  }
  if (!k) {
    PRINT('e', "ppc0877", "Unknown keyword (%s)\n", word.c_str());
    errors_ = true;
    return true;
  }
  if (k->rule == Rule::kBlock || k->rule == Rule::kEnd) {
    if (cur_ && !close_record()) return false;
    if (k->rule == Rule::kEnd) {
      reader_.set_block("");
      ended_ = true;
      return true;
    }
    return open_record();
  }
  // Texts are taken as written, up to the next blank, without the scanner:
  // a password may hold any character and must not reach a syntax message.
  const bool raw = k->rule == Rule::kText || k->rule == Rule::kMachineId || k->rule == Rule::kType;
  bool failed = false;
  for (;;) {
    if (raw) {
      if (failed || statement_.find_first_not_of(" \t", scanner_.this_start) == std::string::npos) break;
    } else {
      const int n = scanner_.next();
      if (n == 0) break;
      if (n < 0) {
        PRINT('e', "ppc0878", "Parsing failed : %s\n", scanner_.message.c_str());
        errors_ = true;
        return true;
      }
      // After an error the remaining words only count parentheses.
      if (failed || (scanner_.parse_word.flags & kWordParen)) continue;
    }
    if (!value_word(*k)) failed = errors_ = true;
  }
  if (scanner_.parens != 0) {
    PRINT('e', "ppc1180", "Parentheses do not balance\n");
    return false;
  }
  return true;
}

bool DistParser::open_record() {
  cur_ = std::make_unique<distributor>();
  seen_.reset();
  classes_given_.reset();
  for (int day = 0; day < kDays; ++day) held_start_[day].reset(), held_end_[day].reset();
  const int consumed = scanner_.next();
  if (consumed < 0) {
    PRINT('e', "ppc0878", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  if (consumed == 0) {
    PRINT('e', "ppc0940", "No Process name supplied\n");
    return false;
  }
  const std::string name = scanner_.parse_word.str();
  if (name.size() > kNameMax) {
    PRINT('e', "ppc0945", "Process name exceeeds 24 characters\n");
    return false;
  }
  for (const auto& d : defs_.distrib_anchor) {
    if (d->distrib_name == name) {
      PRINT('e', "ppc0950", "Duplicate process name: %s\n", name.c_str());
      return false;
    }
  }
  cur_->distrib_name = name;
  reader_.set_block("process " + name);
  return true;
}

// Checks the record being built and links it; false when the parse must stop.
bool DistParser::close_record() {
  std::unique_ptr<distributor> d = std::move(cur_);
  if (d->distrib_name.empty()) {
    PRINT('e', "ppc0895", "No Process name\n");
    return false;
  }
  if (d->distrib_name.starts_with("collector")) {
    if (d->type == 0) {
      PRINT('e', "ppc0900", "No Process type specified\n");
      return false;
    }
    if (d->logon_id.empty()) PRINT('h', "ppc0905", "No Process logon id specified\n");
    if (d->password.empty()) PRINT('h', "ppc0910", "No Process password specified\n");
  }
  if (d->distrib_name.starts_with("evaluator")) defs_.have_evaluator = true;
  if (d->interval == 0) {
    PRINT('e', "ppc0915", "No Process interval specified\n");
    return false;
  }
  if (d->type == 2 && d->server_id.empty()) {
    PRINT('e', "ppc0920", "Server_id required for sql*net\n");
    return false;
  }
  for (int day = 0; day < kDays; ++day) {
    if (held_start_[day] || held_end_[day]) {
      PRINT('w', "ppc1215",
            "Process (%s) has a day-window start or end without its partner; ignored\n",
            d->distrib_name.c_str());
      break;
    }
  }
  defs_.distrib_anchor.push_back(std::move(d));
  return true;
}

bool DistParser::duplicate(const DistKeyword& k) {
  if (!k.duplicate.id) return false;
  if (seen_[k.code]) {
    report_error(k.duplicate);
    return true;
  }
  seen_[k.code] = true;
  return false;
}

// The statement text from the current position, blanks skipped, to the next
// blank; the scan continues after it.
std::string DistParser::raw_to_blank() {
  std::size_t b = statement_.find_first_not_of(" \t", scanner_.this_start);
  if (b == std::string::npos) b = statement_.size();
  std::size_t e = statement_.find_first_of(" \t", b);
  if (e == std::string::npos) e = statement_.size();
  scanner_.this_start = e;
  return statement_.substr(b, e - b);
}

// The decimal value of the word just scanned, checked against the keyword's
// longest length; nothing after reporting.
std::optional<int32_t> DistParser::number(const DistKeyword& k) {
  const ParseWord& w = scanner_.parse_word;
  if (k.length.id && w.len > kLongestValue) {
    report_error(k.length);
    return std::nullopt;
  }
  const std::optional<int32_t> value = decimal_value(w.text);
  if (!value) PRINT('e', "ppc1190", "Invalid number (%s) for %s\n", w.str().c_str(), k.lower);
  return value;
}

bool DistParser::value_word(const DistKeyword& k) {
  distributor& d = *cur_;
  switch (k.rule) {
    case Rule::kType:
      return type_value(k);
    case Rule::kText:
      return text_value(k);
    case Rule::kMachineId: {
      const std::string value = raw_to_blank();
      if (value.size() > kMachineIdMax) {
        report_error(k.length);
        return false;
      }
      u_str2chr(value, machine_id.hostname, sizeof machine_id.hostname);
      defs_.machine_id_from_control = true;
      return true;
    }
    case Rule::kWindow:
      return window_value(k);
    case Rule::kInterval: {
      if (duplicate(k)) return false;
      const std::optional<int32_t> value = number(k);
      if (!value) return false;
      if (*value < 0) {
        PRINT('e', "ppc1190", "Invalid number (%s) for %s\n", scanner_.parse_word.str().c_str(), k.lower);
        return false;
      }
      d.interval = *value;
      return true;
    }
    case Rule::kSleep: {
      const std::optional<int32_t> value = number(k);
      if (!value) return false;
      // The scheduler sleeps at most this long each turn; zero would make it spin.
      if (*value < 1) {
        PRINT('e', "ppc1190", "Invalid number (%s) for %s\n", scanner_.parse_word.str().c_str(), k.lower);
        return false;
      }
      defs_.sleep_time = *value;
      return true;
    }
    case Rule::kTimeOffset: {
      if (duplicate(k)) return false;
      const std::optional<int32_t> value = number(k);
      if (!value) return false;
      const int32_t hhmm = *value < 0 ? -*value : *value;
      if (hhmm > 9999) {  // four digits at most: HHMM
        PRINT('e', "ppc1190", "Invalid number (%s) for %s\n", scanner_.parse_word.str().c_str(), k.lower);
        return false;
      }
      const int32_t seconds = (hhmm / 100) * 3600 + (hhmm % 100) * 60;
      d.time_offset = *value < 0 ? -seconds : seconds;
      return true;
    }
    case Rule::kHoliday:
      return holiday_value();
    case Rule::kYesNo:
      return yes_no_value(k);
    case Rule::kClass:
      return class_value();
    default:
      return true;
  }
}

bool DistParser::type_value(const DistKeyword& k) {
  const std::string word = raw_to_blank();
  if (duplicate(k)) return false;
  for (const auto& t : kTypes) {
    if (word.starts_with(t.lower) || word.starts_with(t.upper)) {
      cur_->type = t.code;
      return true;
    }
  }
  PRINT('e', "ppc1000", "Unrecognized type:%s\n", word.c_str());
  return false;
}

bool DistParser::text_value(const DistKeyword& k) {
  std::string value = raw_to_blank();
  if (duplicate(k)) return false;
  if (value.size() > k.longest) {
    report_error(k.length);
    return false;
  }
  if (k.code == kServerId) pad_blanks(value, 8);
  cur_.get()->*k.text = std::move(value);
  return true;
}

bool DistParser::window_value(const DistKeyword& k) {
  const ParseWord& w = scanner_.parse_word;
  auto& mine = k.window_end ? held_end_[k.day] : held_start_[k.day];
  auto& partner = k.window_end ? held_start_[k.day] : held_end_[k.day];
  if (mine) {
    report_error(k.duplicate);
    return false;
  }
  if (w.len != 4) {
    report_error(k.length);
    return false;
  }
  const std::optional<int32_t> hhmm = decimal_value(w.text);
  if (!hhmm || *hhmm < 0) {
    PRINT('e', "ppc1190", "Invalid number (%s) for %s\n", w.str().c_str(), k.lower);
    return false;
  }
  mine = (*hhmm / 100) * 3600 + (*hhmm % 100) * 60;
  if (partner) {
    WindowList* lists[kDays] = {&cur_->saturday, &cur_->sunday, &cur_->mon_fri};
    const int32_t offset = cur_->time_offset;
    set_operate(*lists[k.day], *held_start_[k.day] - offset, *held_end_[k.day] - offset);
    mine.reset();
    partner.reset();
  }
  return true;
}

// A holiday reads YYYY/MM/DD: the scanner stops the year at the first "/".
bool DistParser::holiday_value() {
  const ParseWord& w = scanner_.parse_word;
  const std::size_t p = w.position;
  auto at = [this, p](std::size_t i) { return p + i < statement_.size() ? statement_[p + i] : '\0'; };
  if (at(4) != '/' || at(7) != '/') {
    PRINT('e', "ppc0970", "Invalid holiday date format (YYYY/MM/DD) \n");
    return false;
  }
  if (w.len != 4) {
    PRINT('e', "ppc0975", "Invalid holiday date length (10)\n");
    return false;
  }
  scanner_.this_start = p + 10;
  const std::string date = statement_.substr(p, 4) + statement_.substr(p + 5, 2) + statement_.substr(p + 8, 2);
  const int month = (at(5) - '0') * 10 + (at(6) - '0');
  const int mday = (at(8) - '0') * 10 + (at(9) - '0');
  const int32_t day = relative_date(date);
  if (day < 0 || month < 1 || month > 12 || mday < 1 || mday > 31 || real_date(day) != date) {
    PRINT('e', "ppc0970", "Invalid holiday date format (YYYY/MM/DD) \n");
    return false;
  }
  if (day < today_) {
    PRINT('w', "ppc0980", "Comment: Holiday is in the past\n");
    return true;
  }
  for (int32_t& slot : cur_->holidays) {
    if (slot == 0) {
      slot = day;
      return true;
    }
  }
  PRINT('e', "ppc0985", "Exceeded 50 holidays\n");
  return false;
}

bool DistParser::yes_no_value(const DistKeyword& k) {
  const char first = scanner_.parse_word.text.empty() ? '\0' : scanner_.parse_word.text[0];
  const bool yes_no = first == 'Y' || first == 'N';
  switch (k.code) {
    case kHold:
      if (!yes_no) {
        PRINT('e', "ppc1155", "Hold is not YES/NO\n");
        return false;
      }
      cur_->hold = first;
      return true;
    case kContinuous:
      if (cur_->distrib_name != "collector") {
        PRINT('e', "ppc1160", "Continuous is valid only at the collector\n");
        return false;
      }
      if (!yes_no) {
        PRINT('e', "ppc1165", "Continuous is not YES/NO\n");
        return false;
      }
      cur_->continuous = first;
      return true;
    default:  // kSendFalse
      if (cur_->distrib_name != "evaluator") {
        PRINT('e', "ppc1170", "Send_false is valid only for the evaluator\n");
        return false;
      }
      if (!yes_no) {
        PRINT('e', "ppc1175", "Send_false is not YES/NO\n");
        return false;
      }
      cur_->send_false = first == 'Y' ? 1 : 0;
      return true;
  }
}

bool DistParser::class_value() {
  const std::optional<int32_t> value = decimal_value(scanner_.parse_word.text);
  if (!value || *value < 0 || *value > kMaxClass) {
    PRINT('e', "ppc1010", "Class exceeds range\n");
    return false;
  }
  // Only a class written twice draws the warning, not the class 0 every
  // distributor starts with.
  if (classes_given_[*value]) PRINT('w', "ppc1015", "Warning - Class repeditively specified\n");
  classes_given_[*value] = true;
  cur_->classes[*value] = 1;
  return true;
}

int parse_distributor_from(Definitions& defs, StatementReader& reader) {
  DistParser parser(defs, reader);
  return parser.run();
}

}  // namespace

int parse_distributor(Definitions& defs) {
  if (!stder) init_PRINT();
  std::string path;
  FilePtr file = u_openInputFile("proc", &path);
  if (!file) {
    // No file: nothing defines the collector.
    defs.del_distributor();
    PRINT('e', "ppc1230", "Must have a process named 'collector'\n");
    return 1;
  }
  StatementReader reader(file.get(), kProcReader, path);
  return parse_distributor_from(defs, reader);
}

int parse_distributor_text(Definitions& defs, std::string_view text) {
  StatementReader reader(text, kProcReader);
  return parse_distributor_from(defs, reader);
}

int init_dist(Definitions& defs) {
  if (parse_distributor(defs) != 0) {
    defs.del_distributor();
    return kParseFailureCode;
  }
  if (trace_all) show_processes(defs);
  return 0;
}

std::vector<std::string> distributor_keywords() {
  std::vector<std::string> words;
  for (const DistKeyword& k : distrib_key_word) words.emplace_back(u_strlower(k.lower));
  return words;
}

}  // namespace qrx
