// Escaping a value for inside '...' as a server reads it in a given character set. In a
// multibyte set whose characters may end in a backslash byte (gbk, big5, sjis, cp932) the
// plain escaper can be defeated: a lone lead byte before an escaped quote would swallow
// the backslash, and the quote would end the string.
#pragma once

// Writes the escaped text and a terminating zero to destination (room for 2 * length + 1
// bytes) and gives its length. An unknown or empty charset name escapes byte by byte.
unsigned long escape_for_charset(const char* charset, char* destination, const char* source, unsigned long length);
