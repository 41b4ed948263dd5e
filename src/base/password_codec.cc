#include "base/password_codec.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "base/clock.h"
#include "base/env_vars.h"

namespace qrx {

namespace {

constexpr std::string_view kPlainMarkers = "*#!-=";
constexpr size_t kOldFormLength = 64;
constexpr size_t kNewFormLength = 88;
constexpr size_t kBlockLength = 50;   // characters held by the new form
constexpr size_t kPackedLength = 44;  // bytes of the new form
constexpr size_t kMaxPlainLength = 99;
constexpr size_t kMaxOldPassword = 32;
constexpr size_t kMaxKeyTexts = 10;

// The built-in word behind the old form's key (never written anywhere).
constexpr char kOldKeyWord[] = "tessel";

// The substitution over 7-bit values: an affine permutation, then a mask.
constexpr std::array<uint8_t, 128> make_forward() {
  std::array<uint8_t, 128> table{};
  for (int i = 0; i < 128; ++i) table[static_cast<size_t>(i)] = static_cast<uint8_t>(((i * 45 + 83) & 127) ^ 0x35);
  return table;
}
constexpr std::array<uint8_t, 128> kForward = make_forward();

constexpr std::array<uint8_t, 128> make_inverse() {
  std::array<uint8_t, 128> table{};
  for (int i = 0; i < 128; ++i) table[kForward[static_cast<size_t>(i)]] = static_cast<uint8_t>(i);
  return table;
}
constexpr std::array<uint8_t, 128> kInverse = make_inverse();

// Substitution modes: 0 value of a hexadecimal digit, 1 forward, 2 inverse,
// 5 a random filler byte onto a printable character (never a tab or 0).
uint8_t substitute(uint8_t c, int mode) {
  switch (mode) {
    case 0:
      return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 0;
    case 1:
      return kForward[c & 127];
    case 2:
      return kInverse[c & 127];
    default:
      return static_cast<uint8_t>(32 + (c * 7) % 95);
  }
}

bool all_upper_hex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

std::string plain_text(std::string_view stored) {
  if (!stored.empty() && kPlainMarkers.find(stored.front()) != std::string_view::npos) stored.remove_prefix(1);
  return std::string(stored);
}

std::string to_hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::vector<uint8_t> from_hex(std::string_view hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(substitute(static_cast<uint8_t>(hex[i]), 0) << 4 |
                                         substitute(static_cast<uint8_t>(hex[i + 1]), 0)));
  }
  return bytes;
}

// --- Old form ------------------------------------------------------------

// Seed number of a key text; the arithmetic is signed 32-bit throughout.
int32_t GetSeedData(std::string_view key) {
  if (key.size() < 4) return -1;
  int32_t s = 1;
  for (size_t i = 0; i < key.size(); ++i) s += static_cast<uint8_t>(key[i]) + static_cast<int32_t>(i);
  while (s <= 9999999) s *= 2;
  return s;
}

// The old byte transform; its own inverse. A byte that would become 0 is kept.
void DoEnc(uint8_t* data, std::string_view key, int32_t n) {
  int32_t k = ((GetSeedData(key) / 997) - 1) % 254 + 1;
  auto key0 = static_cast<uint8_t>(key.empty() ? 0 : key[0]);
  for (int32_t i = 0; i < n; ++i) {
    int32_t v = i - n + k - 1;
    k = v % 254 + 1;
    auto out = static_cast<uint8_t>(key0 ^ k ^ data[i]);
    if (out != 0) data[i] = out;
  }
}

// The old form's key text: the built-in word scrambled with itself, in hexadecimal.
std::string old_key_text() {
  uint8_t word[sizeof kOldKeyWord - 1];
  std::memcpy(word, kOldKeyWord, sizeof word);
  DoEnc(word, kOldKeyWord, static_cast<int32_t>(sizeof word));
  return to_hex(word, sizeof word);
}

std::string n_DescryptOld(std::string_view stored) {
  std::vector<uint8_t> bytes = from_hex(stored);
  DoEnc(bytes.data(), old_key_text(), static_cast<int32_t>(bytes.size()));
  // A tab after the last byte ends a password that fills the whole form.
  bytes.push_back('\t');
  std::string text(bytes.begin(), bytes.end());
  return text.substr(0, text.find_first_of(std::string_view("\t\0", 2)));
}

std::string Encrypt(std::string_view password) {
  std::string padded(password);
  std::time_t now = the_clock().now();
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "\t%H.%M.%S.", &tm);
  while (padded.size() < kMaxOldPassword) padded += stamp;
  padded.resize(kMaxOldPassword);
  uint8_t bytes[kMaxOldPassword];
  std::memcpy(bytes, padded.data(), sizeof bytes);
  DoEnc(bytes, old_key_text(), static_cast<int32_t>(sizeof bytes));
  return to_hex(bytes, sizeof bytes);
}

// --- New form ------------------------------------------------------------

// Seed byte of a key text; unsigned 32-bit arithmetic throughout.
uint8_t n_GetSeedData(std::string_view key) {
  uint32_t p = 1;
  for (size_t i = 0; i < key.size(); ++i) {
    uint32_t f = static_cast<uint32_t>(i) + substitute(static_cast<uint8_t>(key[i]), 1);
    p *= f < 3 ? 3 : f;
    if (p > 25443422) break;
  }
  while (p < 25443423) p *= 31;
  return static_cast<uint8_t>(((p * 4 - 1) % 253 + 1) | 18);
}

// The new byte transform; the next seed follows the scrambled byte.
void n_DoEnc(uint8_t* data, std::string_view key, size_t n, bool decode) {
  uint8_t seed = n_GetSeedData(key);
  for (size_t i = 0, j = 0; i < n; ++i) {
    auto key_byte = static_cast<uint8_t>(key.empty() ? 0 : key[j]);
    uint8_t scrambled = decode ? data[i] : static_cast<uint8_t>(data[i] ^ key_byte ^ seed);
    data[i] = static_cast<uint8_t>(data[i] ^ key_byte ^ seed);
    seed = static_cast<uint8_t>((seed + (462607u * scrambled) / 33) % 253 + 1);
    if (!key.empty() && ++j == key.size()) j = 0;
  }
}

void n_DoDec(uint8_t* data, std::string_view key, size_t n) { n_DoEnc(data, key, n, true); }

// Bit i (most significant first) of `bytes`.
int n_Byte2Bits(const uint8_t* bytes, size_t i) { return bytes[i / 8] >> (7 - i % 8) & 1; }

void n_Bits2Byte(uint8_t* bytes, size_t i, int bit) {
  if (bit) bytes[i / 8] |= static_cast<uint8_t>(1 << (7 - i % 8));
}

// Mode 'c': 8 bytes of 7 significant bits into 7 bytes; mode 'e': back again.
void n_transC2N(const uint8_t* in, uint8_t* out, char mode) {
  if (mode == 'c') {
    std::memset(out, 0, 7);
    for (size_t b = 0; b < 8; ++b) {
      for (size_t bit = 0; bit < 7; ++bit) n_Bits2Byte(out, b * 7 + bit, in[b] >> (6 - bit) & 1);
    }
  } else {
    std::memset(out, 0, 8);
    for (size_t b = 0; b < 8; ++b) {
      for (size_t bit = 0; bit < 7; ++bit) n_Bits2Byte(out, b * 8 + 1 + bit, n_Byte2Bits(in, b * 7 + bit));
    }
  }
}

// The new form of `password` for `key`; the caller has checked that both fit.
std::string n_Encrypt(std::string_view password, std::string_view key) {
  uint8_t block[56] = {};  // 50 characters and the zero tail of the last group
  size_t room = kBlockLength;
  auto put = [&](uint8_t c) {
    if (room) block[--room] = c;
  };
  for (char c : password) put(static_cast<uint8_t>(c));
  put('\t');
  for (char c : key) put(static_cast<uint8_t>(c));
  if (room) {
    put('\t');
    std::random_device random;
    while (room) put(substitute(static_cast<uint8_t>(random() % 254 + 1), 5));
  }
  for (size_t i = 0; i < kBlockLength; ++i) block[i] = substitute(block[i], 1);
  uint8_t packed[49];
  for (size_t g = 0; g < 7; ++g) n_transC2N(block + g * 8, packed + g * 7, 'c');
  n_DoEnc(packed, key, kPackedLength, false);
  return to_hex(packed, kPackedLength);
}

std::vector<std::string> split_tabs(std::string_view text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = text.find('\t', start);
    fields.emplace_back(text.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

std::string n_Descrypt(std::string_view stored, std::string_view key) {
  if (stored.empty()) return "Error Null password";
  if (stored.size() != kNewFormLength) return "Error incorrect password length";
  std::vector<uint8_t> packed = from_hex(stored);
  packed.resize(49);
  n_DoDec(packed.data(), key, kPackedLength);
  uint8_t block[56];
  for (size_t g = 0; g < 7; ++g) n_transC2N(packed.data() + g * 7, block + g * 8, 'e');
  std::string text;
  for (size_t i = kBlockLength; i-- > 0;) text += static_cast<char>(substitute(block[i], 2));
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> fields = split_tabs(text);
  std::vector<std::string> expected = split_tabs(key);
  // Every field is whole: the encoder always leaves room for the closing tab.
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].empty()) return "Error invalid password 2";
    if (i + 1 >= fields.size() || fields[i + 1] != expected[i]) return "Error invalid password 3";
  }
  return fields[0];
}

std::string key_text(std::span<const std::string> texts) {
  if (texts.empty()) return env_vars.logonid + "\t" + env_vars.serverid;
  std::string key;
  for (size_t i = 0; i < texts.size() && i < kMaxKeyTexts; ++i) {
    if (i) key += '\t';
    key += texts[i];
  }
  return key;
}

bool has_marker(std::string_view text) {
  return !text.empty() && kPlainMarkers.find(text.front()) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> fok(std::string_view stored) {
  if (stored.empty()) return std::nullopt;
  std::string password = stored.size() == kOldFormLength ? ofok(stored) : fo1(stored);
  if (password.empty() || password == "NONE") return std::nullopt;
  return password;
}

std::string ofok(std::string_view stored) {
  if (!stored.empty() && all_upper_hex(stored)) return n_DescryptOld(stored);
  return plain_text(stored);
}

std::string fo1(std::string_view stored, std::span<const std::string> texts) {
  if (all_upper_hex(stored)) return n_Descrypt(stored, key_text(texts));
  return plain_text(stored).substr(0, kMaxPlainLength);
}

std::string fo1(std::string_view stored, const std::string& logon_id, const std::string& server_id) {
  const std::string texts[] = {logon_id, server_id};
  return fo1(stored, texts);
}

std::optional<std::string> fo2(std::string_view plain, const std::string& logon_id, const std::string& server_id) {
  if (has_marker(plain)) return plain_text(plain);
  // The password, a tab, the key text and a closing tab must fit the block,
  // and every character must survive the 7-bit packing.
  std::string all = std::string(plain) + logon_id + server_id;
  if (logon_id.empty() || server_id.empty() || all.size() + 3 > kBlockLength) return std::nullopt;
  for (char c : all) {
    auto byte = static_cast<uint8_t>(c);
    if (byte == 0 || byte == '\t' || byte >= 128) return std::nullopt;
  }
  const std::string texts[] = {logon_id, server_id};
  return n_Encrypt(plain, key_text(texts));
}

std::optional<std::string> fod(std::string_view plain) { return fo2(plain, env_vars.logonid, env_vars.serverid); }

std::optional<std::string> ofod(std::string_view plain) {
  if (has_marker(plain)) return plain_text(plain);
  if (plain.size() > kMaxOldPassword || plain.find('\t') != std::string_view::npos) return std::nullopt;
  return Encrypt(plain);
}

int password_tool_main(int argc, char** argv, std::FILE* in, std::FILE* out, std::FILE* err) {
  if (argc != 3) {
    std::fprintf(err, "usage: %s LOGON SERVER < password\n", argc > 0 ? argv[0] : "qrxpasswd");
    return 2;
  }
  char line[256];
  if (!std::fgets(line, sizeof line, in)) {
    std::fprintf(err, "qrxpasswd: no password on standard input\n");
    return 1;
  }
  std::string password = line;
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
  if (password.empty() || has_marker(password)) {
    std::fprintf(err, "qrxpasswd: the password is empty or begins with one of %s\n", kPlainMarkers.data());
    return 1;
  }
  std::optional<std::string> scrambled = fo2(password, argv[1], argv[2]);
  if (!scrambled) {
    std::fprintf(err,
                 "qrxpasswd: the password must be ASCII without tabs, and with the logon id and the server id "
                 "at most %zu characters\n",
                 kBlockLength - 3);
    return 1;
  }
  std::fprintf(out, "%s\n", scrambled->c_str());
  return 0;
}

}  // namespace qrx
