// Hexadecimal dumps and printable renderings of raw bytes for the message log.
#pragma once

#include <string>
#include <string_view>

namespace qrx {

// Logs `data` 16 bytes a line as offset, hexadecimal groups and printable form
// (identifier `id`, "upx0100" when empty); nothing when data is null.
void u_print_dumpx(const char* id, const void* data, std::size_t length);

// `data` in upper-case hexadecimal, groups of 4 bytes separated by a blank.
std::string u_hex_format(std::string_view data);

// `data` with letters, digits and \ / , ( ) " ' = - $ # kept, white space as a
// blank and anything else as '.'. Mode 'c' compresses runs of blanks and dots
// and falls back to the hexadecimal form of up to 32 bytes for binary data.
std::string u_printable(std::string_view data, char mode);

}  // namespace qrx
