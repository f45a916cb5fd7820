#include "connection/charset_escape.h"

#include <strings.h>

namespace kro::connection {

const MARIADB_CHARSET_INFO* multibyte_charset(const char* name) {
    // In UTF-8 no byte of a multibyte character is below 0x80, so byte-wise escaping is
    // exact there and writes what a direct connection writes.
    if (!name || !*name || strncasecmp(name, "utf8", 4) == 0) return nullptr;
    const MARIADB_CHARSET_INFO* cs = mariadb_get_charset_by_name(name);
    return cs && cs->char_maxlen > 1 && cs->mb_valid && cs->mb_charlen ? cs : nullptr;
}

namespace {

// What follows the backslash for each byte the server reads specially inside '...'; 0 for
// the bytes that go as they are.
struct EscapeTable {
    char after[256] = {};
    EscapeTable() {
        after[0] = '0';
        after[static_cast<unsigned char>('\n')] = 'n';
        after[static_cast<unsigned char>('\r')] = 'r';
        after[static_cast<unsigned char>('\\')] = '\\';
        after[static_cast<unsigned char>('\'')] = '\'';
        after[static_cast<unsigned char>('"')] = '"';
        after[032] = 'Z';
    }
};
const EscapeTable kEscapes;

}  // namespace

bool bytewise_charset(const MARIADB_CHARSET_INFO* cs) {
    return cs && (cs->char_maxlen <= 1 || (cs->csname && strncasecmp(cs->csname, "utf8", 4) == 0));
}

unsigned long escape_bytes(char* destination, const char* source, unsigned long length) {
    char* out = destination;
    for (const char* p = source, *end = source + length; p < end; ++p) {
        if (const char after = kEscapes.after[static_cast<unsigned char>(*p)]) {
            *out++ = '\\';
            *out++ = after;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return static_cast<unsigned long>(out - destination);
}

unsigned long escape_for_charset(const MARIADB_CHARSET_INFO* cs, char* destination, const char* source,
                                 unsigned long length) {
    if (!cs) return escape_bytes(destination, source, length);
    const char* end = source + length;
    char* out = destination;
    for (const char* p = source; p < end; ++p) {
        // A whole multibyte character goes as it is: none of its bytes is a quote to the server.
        if (unsigned n = cs->mb_valid(p, end); n > 1) {
            for (unsigned i = 0; i < n; ++i) *out++ = p[i];
            p += n - 1;
            continue;
        }
        char escape = 0;
        // A lead byte without its character is escaped too, so that it cannot pair with the
        // backslash of the next escape into a valid character.
        if (cs->mb_charlen(static_cast<unsigned char>(*p)) > 1) {
            escape = *p;
        } else {
            switch (*p) {
                case '\0': escape = '0'; break;
                case '\n': escape = 'n'; break;
                case '\r': escape = 'r'; break;
                case '\\': escape = '\\'; break;
                case '\'': escape = '\''; break;
                case '"': escape = '"'; break;
                case '\032': escape = 'Z'; break;
                default: break;
            }
        }
        if (escape) {
            *out++ = '\\';
            *out++ = escape;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return static_cast<unsigned long>(out - destination);
}

}  // namespace kro::connection
