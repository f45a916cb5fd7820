#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/base64.h"

using namespace kro::common;

namespace {

// The two steps the tunnel answer's reader takes for a long value: size, then decode.
std::optional<std::string> decode(std::string_view text) {
    auto n = base64_decoded_length(text);
    if (!n) return std::nullopt;
    std::string out(*n, '\0');
    out.resize(base64_decode_into(text, out.data()));
    return out;
}

}  // namespace

TEST(Base64, EncodesTheRfcVectors) {
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (auto& v : vectors) {
        EXPECT_EQ(base64_encode(v[0]), v[1]);
        EXPECT_EQ(decode(v[1]), v[0]) << v[1];
    }
}

TEST(Base64, EveryByteValueSurvivesTheRoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::size_t cut = 0; cut < 4; ++cut) {
        std::string bytes = all.substr(cut);
        std::string text = base64_encode(bytes);
        EXPECT_EQ(text.size(), base64_encoded_length(bytes.size()));
        EXPECT_EQ(*base64_decoded_length(text), bytes.size());
        EXPECT_EQ(decode(text), bytes);
    }
}

TEST(Base64, DecodingSkipsLineBreaksButRefusesAnythingElseOutOfPlace) {
    EXPECT_EQ(decode("Zm9v\r\nYmFy"), "foobar");
    for (const char* bad : {"Zm9", "Zm9v=", "Zg=", "Z===", "Zg==Zg==", "Zm9v!", "Zm=v", "=Zm9"})
        EXPECT_FALSE(base64_decoded_length(bad).has_value()) << bad;
}

TEST(Base64, BoundedDecodingRefusesWhatDoesNotFitOrIsNotBase64) {
    char out[8];
    EXPECT_EQ(base64_decode_bounded("Zm9vYmFy", out, 6), 6u);
    EXPECT_EQ(std::string(out, 6), "foobar");
    EXPECT_EQ(base64_decode_bounded("Zm9v\r\nYmE=", out, 5), 5u);  // white space after whole groups
    EXPECT_EQ(std::string(out, 5), "fooba");
    EXPECT_FALSE(base64_decode_bounded("Zm9vYmFy", out, 5));
    EXPECT_FALSE(base64_decode_bounded("Zm9vYm=y", out, 8));
    EXPECT_FALSE(base64_decode_bounded("Zm9vY", out, 8));
}
