// Local time texts used in file names, progress lines and reports.
#pragma once

#include "common/str_buf.h"

namespace kro::common {

// "yyyy-mm-dd hh<sep>mm<sep>ss" of the local time, written into target.
void local_timestamp_text(StrBuf& target, const char* separator);
// The C library's asctime() text of the local time without its trailing line feed.
StrBuf asctime_text();

}  // namespace kro::common
