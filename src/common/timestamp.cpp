#include "common/timestamp.h"

#include <ctime>
#include <string>

namespace kro::common {

void local_timestamp_text(StrBuf& target, const char* separator) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    target.format("%04d-%02d-%02d %02d%s%02d%s%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, separator, t.tm_min, separator, t.tm_sec);
}

StrBuf asctime_text() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char buf[64];
    StrBuf out;
    if (asctime_r(&t, buf)) out.append(buf);
    if (out.char_at(static_cast<long>(out.length()) - 1) == '\n') out.cut_end(1);
    return out;
}

}  // namespace kro::common
