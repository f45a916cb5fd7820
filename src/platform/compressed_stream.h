// Compressed output streams: a stdio stream that compresses what is written to it (gzip
// through zlib, zstd through libzstd) and writes the result to another stream. Text streams
// through fixed buffers; nothing holds more than the compressor's own window.
#pragma once

#include <cstdio>

namespace kro::platform {

enum class CompressionKind { none, gzip, zstd };

struct Compression {
    CompressionKind kind = CompressionKind::none;
    int level = 0;  // 0: the library's default
};

// The file-name suffix of a kind: "", ".gz" or ".zst".
const char* compression_suffix(CompressionKind kind);
// The levels a kind takes: gzip 1 to 9, zstd 1 to 22.
int max_compression_level(CompressionKind kind);

// A write-only stream that compresses into out, which stays the caller's (it is neither
// flushed nor closed here). fclose() of the returned stream ends the compressed data
// (a gzip member, a zstd frame) and fails when that cannot be written. Null, with errno
// set, when the compressor cannot be made; a write the compressor or out refuses fails
// with out's errno (EIO when the compressor itself failed).
FILE* open_compressing_stream(FILE* out, Compression compression);

}  // namespace kro::platform
