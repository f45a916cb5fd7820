// A write-only stdio stream over a new file's descriptor that asks the system to start
// writing each few megabytes to disk as soon as they are written, instead of leaving
// hundreds of megabytes for the final fsync: the disk works while the job does, and the
// fsync that makes the file durable waits only for the last part.
#pragma once

#include <cstdio>

namespace kro::platform {

// The stream owns fd (fclose closes it) and writes from offset 0 on. Null, with errno
// set, when it cannot be made; fd is then still the caller's.
FILE* open_writeback_stream(int fd);

}  // namespace kro::platform
