// AnswerCompression: whether a tunnel asks the script for compressed answers.
//
// Compression costs CPU at both ends (deflate on the web server, inflate here) and saves
// only bytes: on a link without a bandwidth limit it makes every answer slower, on a link
// of tens of Mbit/s it makes large answers twice as fast or more. Which holds is measured,
// not guessed from the host name: each large answer's rate (its bytes as the caller gets
// them over the time from its first piece to its last) is kept for the form it came in,
// averaged with the earlier ones so that one answer slowed by a busy host does not turn
// the choice, and the faster form is asked for. Both forms are tried on the first large
// answers, and the other form again after every kRetryBytes, as a link can change; a
// tunnel keeps its pages small while it tries, so that a trial of the slower form costs
// little. Answers too small to time keep the current choice.
//
// Owned by one tunnel and used from one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>

namespace kro::connection {

class AnswerCompression {
public:
    // Whether the next request asks for a compressed answer.
    bool wanted() const;
    // An answer arrived whole: `bytes` decoded bytes in `span`, asked for compressed or not.
    void record(bool compressed, std::size_t bytes, std::chrono::nanoseconds span);
    // Whether the next large answer is a trial of a form.
    bool trying() const { return rates_[0] == 0 || rates_[1] == 0 || retry_; }

    // Answers below this size are over too quickly to tell the link's rate.
    static constexpr std::size_t kMinSampleBytes = 256 * 1024;
    // The answer size pages aim at while a form is tried: timed, and soon over.
    static constexpr std::size_t kTrialAnswerBytes = 2 * kMinSampleBytes;
    static constexpr std::size_t kRetryBytes = std::size_t{64} << 20;

private:
    bool faster_compressed() const { return rates_[1] > rates_[0]; }

    double rates_[2] = {0, 0};  // bytes per second of plain [0] and compressed [1] answers; 0: unknown
    std::size_t since_retry_ = 0;
    bool retry_ = false;  // the next large answer comes in the slower form, to time it again
};

}  // namespace kro::connection
