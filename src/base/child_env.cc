#include "base/child_env.h"

#include "base/env_vars.h"

extern char** environ;

namespace qrx {

namespace {

// The settings that never reach a child, whatever form their value has.
constexpr const char* kSecretSettings[] = {"COLL_PASSWORD", "QRX_EXPORT_PASSWORD"};

}  // namespace

bool secret_entry(std::string_view entry) {
  const std::size_t eq = entry.find('=');
  const std::string_view name = entry.substr(0, eq);
  for (const char* secret : kSecretSettings)
    if (name == secret) return true;
  // A password given on the command line or in a file may also sit in a
  // variable of another name: its value gives it away.
  const std::string& password = env_vars.password;
  return eq != std::string_view::npos && !password.empty() && password != "NONE" &&
         entry.substr(eq + 1) == password;
}

std::vector<std::string> child_environment() {
  std::vector<std::string> entries;
  for (char** e = environ; e && *e; ++e)
    if (!secret_entry(*e)) entries.emplace_back(*e);
  return entries;
}

std::vector<char*> environment_array(std::vector<std::string>& entries) {
  std::vector<char*> array;
  array.reserve(entries.size() + 1);
  for (std::string& e : entries) array.push_back(e.data());
  array.push_back(nullptr);
  return array;
}

}  // namespace qrx
