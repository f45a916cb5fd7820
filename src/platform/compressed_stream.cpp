#include "platform/compressed_stream.h"

#include <cerrno>
#include <climits>
#include <memory>
#include <new>

#include <zlib.h>
#include <zstd.h>

namespace kro::platform {

namespace {

// What one compressor does, behind the stdio stream: takes text, ends the data. Both
// return false when the compressed bytes could not be made or written.
class Compressor {
public:
    explicit Compressor(FILE* out) : out_(out) {}
    virtual ~Compressor() = default;
    virtual bool write(const char* data, std::size_t size) = 0;
    virtual bool finish() = 0;

protected:
    static constexpr std::size_t kOutputSize = 1 << 17;

    bool emit(std::size_t size) { return size == 0 || std::fwrite(output_.get(), 1, size, out_) == size; }
    static bool failed() {
        errno = EIO;
        return false;
    }

    FILE* out_;
    std::unique_ptr<char[]> output_ = std::make_unique<char[]>(kOutputSize);
};

class GzipCompressor : public Compressor {
public:
    GzipCompressor(FILE* out, int level) : Compressor(out) {
        // 15 window bits + 16: a gzip header and trailer around the deflate data.
        ready_ = deflateInit2(&z_, level > 0 ? level : Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                              Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~GzipCompressor() override {
        if (ready_) deflateEnd(&z_);
    }
    bool ready() const { return ready_; }

    bool write(const char* data, std::size_t size) override {
        while (size > 0) {
            const std::size_t part = size < UINT_MAX ? size : UINT_MAX;
            z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
            z_.avail_in = static_cast<uInt>(part);
            if (!run(Z_NO_FLUSH)) return false;
            data += part;
            size -= part;
        }
        return true;
    }
    bool finish() override { return run(Z_FINISH); }

private:
    // Deflates until the input is taken (and with Z_FINISH, until the trailer is out).
    bool run(int flush) {
        for (;;) {
            z_.next_out = reinterpret_cast<Bytef*>(output_.get());
            z_.avail_out = kOutputSize;
            const int rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR) return failed();
            if (!emit(kOutputSize - z_.avail_out)) return false;
            if (flush == Z_FINISH ? rc == Z_STREAM_END : z_.avail_out != 0 && z_.avail_in == 0) return true;
        }
    }

    z_stream z_{};
    bool ready_ = false;
};

class ZstdCompressor : public Compressor {
public:
    ZstdCompressor(FILE* out, int level) : Compressor(out) {
        if (!context_) return;
        ready_ = !ZSTD_isError(ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_compressionLevel,
                                                       level > 0 ? level : ZSTD_CLEVEL_DEFAULT));
        // The frame says how it was checked, so that zstd -t finds a damaged dump.
        if (ready_) ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_checksumFlag, 1);
    }
    bool ready() const { return ready_; }

    bool write(const char* data, std::size_t size) override {
        ZSTD_inBuffer in{data, size, 0};
        while (in.pos < in.size)
            if (!run(in, ZSTD_e_continue)) return false;
        return true;
    }
    bool finish() override {
        ZSTD_inBuffer in{nullptr, 0, 0};
        return run(in, ZSTD_e_end);
    }

private:
    // One step of the compressor; with ZSTD_e_end, steps until the frame is out.
    bool run(ZSTD_inBuffer& in, ZSTD_EndDirective mode) {
        for (;;) {
            ZSTD_outBuffer out{output_.get(), kOutputSize, 0};
            const std::size_t left = ZSTD_compressStream2(context_.get(), &out, &in, mode);
            if (ZSTD_isError(left)) return failed();
            if (!emit(out.pos)) return false;
            if (mode != ZSTD_e_end || left == 0) return true;
        }
    }

    struct FreeContext {
        void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
    };
    std::unique_ptr<ZSTD_CCtx, FreeContext> context_{ZSTD_createCCtx()};
    bool ready_ = false;
};

ssize_t write_compressed(void* cookie, const char* data, std::size_t size) {
    return static_cast<Compressor*>(cookie)->write(data, size) ? static_cast<ssize_t>(size) : -1;
}

int close_compressed(void* cookie) {
    std::unique_ptr<Compressor> compressor(static_cast<Compressor*>(cookie));
    return compressor->finish() ? 0 : -1;
}

template <class Kind>
std::unique_ptr<Compressor> made(FILE* out, int level) {
    auto compressor = std::make_unique<Kind>(out, level);
    if (compressor->ready()) return compressor;
    errno = ENOMEM;
    return nullptr;
}

}  // namespace

const char* compression_suffix(CompressionKind kind) {
    switch (kind) {
        case CompressionKind::gzip: return ".gz";
        case CompressionKind::zstd: return ".zst";
        default: return "";
    }
}

int max_compression_level(CompressionKind kind) {
    switch (kind) {
        case CompressionKind::gzip: return 9;
        case CompressionKind::zstd: return 22;
        default: return 0;
    }
}

FILE* open_compressing_stream(FILE* out, Compression compression) {
    std::unique_ptr<Compressor> compressor;
    try {
        if (compression.kind == CompressionKind::gzip) compressor = made<GzipCompressor>(out, compression.level);
        else if (compression.kind == CompressionKind::zstd) compressor = made<ZstdCompressor>(out, compression.level);
        else errno = EINVAL;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    }
    if (!compressor) return nullptr;
    cookie_io_functions_t functions{nullptr, write_compressed, nullptr, close_compressed};
    FILE* stream = fopencookie(compressor.get(), "w", functions);
    if (stream) compressor.release();  // the stream owns it now; close_compressed frees it
    return stream;
}

}  // namespace kro::platform
