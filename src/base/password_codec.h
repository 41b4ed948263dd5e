// The stored forms of the database password: plain text (optionally behind a
// plain marker), the old scrambled form of 64 hexadecimal characters and the
// new one of 88 that also names the logon id and server id it was made for.
// Every result is a value owned by the caller.
#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qrx {

// The password behind a stored value, checked against the settings' logon id
// and server id; nothing for an empty value or "NONE" (no password). A value
// that fails to decode yields its error text ("Error invalid password 3" ...).
std::optional<std::string> fok(std::string_view stored);

// Old form when `stored` is all upper-case hexadecimal, else plain text with
// any plain marker removed.
std::string ofok(std::string_view stored);

// New form when `stored` is all upper-case hexadecimal, checked against
// `texts` (at most 10; none: the settings' logon id and server id), else plain
// text with any plain marker removed, at most 99 characters.
std::string fo1(std::string_view stored, std::span<const std::string> texts = {});

// fo1 checked against `logon_id` and `server_id`.
std::string fo1(std::string_view stored, const std::string& logon_id, const std::string& server_id);

// The new form of `plain` for `logon_id` and `server_id`: 88 upper-case
// hexadecimal characters, or the text after a leading plain marker. Nothing
// when a text holds a tab or a non-ASCII byte, an id is empty, or password
// and ids together exceed 47 characters.
std::optional<std::string> fo2(std::string_view plain, const std::string& logon_id, const std::string& server_id);

// fo2 for the settings' logon id and server id.
std::optional<std::string> fod(std::string_view plain);

// The old form of `plain` (64 upper-case hexadecimal characters), or the text
// after a leading plain marker; nothing when it is longer than 32 characters
// or holds a tab.
std::optional<std::string> ofod(std::string_view plain);

// The password tool: `qrxpasswd LOGON SERVER` reads the password from the first
// line of `in` and writes its 88-character form to `out`; returns the exit status.
int password_tool_main(int argc, char** argv, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace qrx
