#include "connection/http_compression.h"

namespace kro::connection {

bool AnswerCompression::wanted() const {
    // Compressed first: on a slow link the first large answer already profits, and on a
    // fast one the trial costs little while pages are small.
    if (rates_[1] == 0) return true;
    if (rates_[0] == 0) return false;
    return retry_ ? !faster_compressed() : faster_compressed();
}

void AnswerCompression::record(bool compressed, std::size_t bytes, std::chrono::nanoseconds span) {
    if (bytes < kMinSampleBytes || span.count() <= 0) return;
    const double rate = static_cast<double>(bytes) / std::chrono::duration<double>(span).count();
    double& kept = rates_[compressed ? 1 : 0];
    // A retry's figure stands alone: the earlier ones of its form may be from another link.
    kept = kept == 0 || retry_ ? rate : (kept + rate) / 2;
    if (retry_) {
        retry_ = false;
        since_retry_ = 0;
        return;
    }
    since_retry_ += bytes;
    if (since_retry_ >= kRetryBytes) retry_ = true;
}

}  // namespace kro::connection
