// Escaping a value for inside '...' as a server reads it in a given character set. In a
// multibyte set whose characters may end in a backslash byte (gbk, big5, sjis, cp932) the
// plain escaper can be defeated: a lone lead byte before an escaped quote would swallow
// the backslash, and the quote would end the string.
#pragma once

#include <mysql.h>

namespace kro::connection {

// The character set whose values need that care, looked up once per name; null for one
// escaped byte by byte (single-byte sets, UTF-8, unknown or empty names).
const MARIADB_CHARSET_INFO* multibyte_charset(const char* name);

// true when escaping byte by byte is exact for the set: one byte a character, or UTF-8,
// where no byte of a multibyte character is below 0x80.
bool bytewise_charset(const MARIADB_CHARSET_INFO* charset);
// The byte-wise escape (\0 \n \r \\ \' \" \Z): a terminating zero is written too, and the
// escaped length given.
unsigned long escape_bytes(char* destination, const char* source, unsigned long length);

// Writes the escaped text and a terminating zero to destination (room for 2 * length + 1
// bytes) and gives its length.
unsigned long escape_for_charset(const MARIADB_CHARSET_INFO* charset, char* destination, const char* source,
                                 unsigned long length);

}  // namespace kro::connection
