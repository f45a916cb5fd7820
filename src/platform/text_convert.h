// Conversions between UTF-8 (the program's own texts), UTF-16 and the locale's
// character set (what job files without an XML declaration and servers older than 4.1
// speak). When the locale's character set is plain ASCII (the C locale, as under cron and
// systemd), UTF-8 stands in for it. Bytes that cannot be converted become '?'.
#pragma once

#include <string>
#include <string_view>

namespace kro::platform {

// The iconv name of the locale's character set, decided once per process.
const std::string& ansi_charset_name();

std::string ansi_to_utf8(std::string_view text);
std::string utf8_to_ansi(std::string_view text);
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);
// Appends UTF-16 text as UTF-8 without a converter per call (for values read row by row);
// a lone surrogate becomes '?'.
void append_utf16_as_utf8(std::string& out, const char16_t* text, std::size_t count);
// The text cut after its first max_chars UTF-8 characters (settings kept to a fixed length).
std::string utf8_prefix(std::string_view text, std::size_t max_chars);

}  // namespace kro::platform
