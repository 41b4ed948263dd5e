// Arbitrary bytes through the date-time normaliser, the tokeniser and the
// printable forms: no crash, and the timestamp is always 16 characters.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "base/dump.h"
#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string out;
  const int rc = qrx::us_normalizeDateTime(text, out);
  if (out.size() != 16 || (rc != 0 && !out.starts_with("DateFmtErr="))) std::abort();
  for (const std::string& word : qrx::u_tokenset(text))
    if (word.size() > size) std::abort();
  qrx::u_printable(text, 'c');
  qrx::us_ps(text, static_cast<int>(size % 250), static_cast<int>(size % 32));
  const std::string zero_terminated(text);
  qrx::u_chktoken(zero_terminated.c_str(), "rdbms", static_cast<int>(size % 40), 0);
  return 0;
}
