// Quoted-printable bodies, base64 and RFC 2047 header words, checked against an
// independent decoder and the line rules; the message that carries the bodies.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mail/mime_encoding.h"
#include "mail/mime_message.h"

using namespace kro::common;
using namespace kro::mail;

namespace {

std::string qp(std::string_view text) {
    StrBuf out;
    QuotedPrintableEncoder(text).encode(out, SIZE_MAX);
    return out.str();
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict decoder: only upper-case escapes, CR LF line breaks, soft breaks "=" CR LF.
bool qp_decode(const std::string& in, std::string& out) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '=') {
            if (in.compare(i + 1, 2, "\r\n") == 0) {
                i += 2;
                continue;
            }
            if (i + 2 >= in.size() + 0 || hex_value(in[i + 1]) < 0 || hex_value(in[i + 2]) < 0) return false;
            out += static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2]));
            i += 2;
        } else if (c == '\r') {
            if (i + 1 >= in.size() || in[i + 1] != '\n') return false;
            out += "\r\n";
            ++i;
        } else if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) >= 127) {
            return false;
        } else {
            out += c;
        }
    }
    return true;
}

// Every line at most 76 characters and no blank right before a line end.
void expect_well_formed(const std::string& encoded) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = encoded.find("\r\n", start);
        std::string line = encoded.substr(start, end == std::string::npos ? std::string::npos : end - start);
        EXPECT_LE(line.size(), 76u) << line;
        if (!line.empty()) {
            EXPECT_NE(line.back(), ' ') << line;
        }
        if (end == std::string::npos) break;
        start = end + 2;
    }
}

// Random bytes that favour those whose encoding depends on their neighbours: blanks, line
// ends, "=", high bytes.
std::string awkward_text(std::mt19937& rng, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned r = rng() % 10;
        text += r < 2 ? ' ' : r < 3 ? '\r' : r < 4 ? '\n' : r < 5 ? '=' : static_cast<char>(1 + rng() % 255);
    }
    return text;
}

std::string base64_decode(const std::string& in) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

}  // namespace

TEST(QuotedPrintable, EscapesTheCharactersThatNeedIt) {
    EXPECT_EQ(qp("a=b"), "a=3Db");
    EXPECT_EQ(qp("tab\there"), "tab=09here");
    EXPECT_EQ(qp("Gr\xC3\xBC\xC3\x9F" "e"), "Gr=C3=BC=C3=9Fe");
    EXPECT_EQ(qp("end \r\nnext"), "end=20\r\nnext");
    EXPECT_EQ(qp("last  "), "last =20");
    EXPECT_EQ(qp("bare\nfeed\rcr"), "bare=0Afeed=0Dcr");
    EXPECT_EQ(qp("\x7F\xFF"), "=7F=FF");
    EXPECT_EQ(qp("line one\r\n\r\nline three"), "line one\r\n\r\nline three");
}

TEST(QuotedPrintable, SoftBreaksKeepLinesShortWithoutSplittingEscapes) {
    std::string exact(75, 'x');
    EXPECT_EQ(qp(exact), exact);
    EXPECT_EQ(qp(exact + "y"), exact + "=\r\ny");
    std::string escapes(40, '=');
    std::string encoded = qp(escapes);
    expect_well_formed(encoded);
    std::string decoded;
    ASSERT_TRUE(qp_decode(encoded, decoded));
    EXPECT_EQ(decoded, escapes);
    // 25 escapes fill 75 characters; the 26th starts the next line.
    EXPECT_EQ(encoded.find("=\r\n"), 75u);
}

TEST(QuotedPrintable, AnyBytesSurviveARoundTrip) {
    std::mt19937 rng(42);
    for (int round = 0; round < 200; ++round) {
        std::string text = awkward_text(rng, rng() % 400);
        std::string encoded = qp(text);
        expect_well_formed(encoded);
        std::string decoded;
        ASSERT_TRUE(qp_decode(encoded, decoded)) << encoded;
        ASSERT_EQ(decoded, text);
    }
}

TEST(QuotedPrintable, EncodingInPiecesGivesTheBytesOfOnePass) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string text = awkward_text(rng, rng() % 400);
        const std::string whole = qp(text);
        QuotedPrintableEncoder encoder(text);
        EXPECT_EQ(encoder.encoded_size(), whole.size());
        StrBuf pieces;
        const std::size_t piece = 1 + round % 5;
        while (!encoder.done()) encoder.encode(pieces, piece);
        ASSERT_EQ(pieces.str(), whole) << "pieces of " << piece;
    }
}

// The message is produced while it is read: whatever the reader's buffer, it is as long as
// its size says and holds both bodies encoded, each closed by its line breaks.
TEST(MimeMessage, ReadInAnyPiecesItHasItsSizeAndBothBodiesEncoded) {
    std::mt19937 rng(11);
    // Bodies of several of the pieces the message is produced in.
    const std::string plain = awkward_text(rng, 300000);
    const std::string html = awkward_text(rng, 200000);
    MessageHeaders headers;
    headers.subject = "Nightly report";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{65536}, std::size_t{1} << 20}) {
        MimeMessage message(headers, plain, html);
        std::string read;
        std::vector<char> buffer(piece);
        while (std::size_t n = message.read(buffer.data(), piece)) read.append(buffer.data(), n);
        EXPECT_EQ(read.size(), message.size()) << "pieces of " << piece;

        const std::size_t head_end = read.find("\r\n\r\n");
        ASSERT_NE(head_end, std::string::npos);
        const std::string head = read.substr(0, head_end + 2);
        EXPECT_NE(head.find("\r\nSubject: Nightly report\r\n"), std::string::npos) << head;
        const std::size_t b = head.find("boundary=\"");
        ASSERT_NE(b, std::string::npos) << head;
        const std::string boundary = head.substr(b + 10, head.find('"', b + 10) - b - 10);
        auto part = [&](const char* type, const std::string& body) {
            return "--" + boundary + "\r\nContent-Type: " + type +
                   "; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + qp(body) +
                   "\r\n\r\n\r\n";
        };
        EXPECT_TRUE(read.substr(head_end + 4) ==
                    part("text/plain", plain) + part("text/html", html) + "--" + boundary + "--\r\n")
            << "pieces of " << piece;
    }
}

TEST(Base64, PadsAndUsesTheStandardAlphabet) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("\xFB\xFF"), "+/8=");
}

TEST(HeaderText, PlainAsciiStaysAndEverythingElseIsEncodedWithoutSplittingCharacters) {
    EXPECT_EQ(encode_header_text("Nightly report 2024:5:7"), "Nightly report 2024:5:7");
    // Line breaks must not start a new header.
    EXPECT_EQ(encode_header_text("a\r\nBcc: x@y.z"), "=?utf-8?B?" + base64_encode("a\r\nBcc: x@y.z") + "?=");
    EXPECT_NE(encode_header_text("=?looks encoded?="), "=?looks encoded?=");

    std::string text;
    for (int i = 0; i < 30; ++i) text += "Grüße 日本 ";
    std::string encoded = encode_header_text(text);
    std::string decoded;
    std::size_t pos = 0;
    while (pos < encoded.size()) {
        ASSERT_EQ(encoded.compare(pos, 10, "=?utf-8?B?"), 0) << encoded.substr(pos);
        std::size_t end = encoded.find("?=", pos + 10);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end + 2 - pos, 75u);
        std::string piece = base64_decode(encoded.substr(pos + 10, end - pos - 10));
        // Each word decodes to whole UTF-8 characters.
        EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80u);
        unsigned char last = static_cast<unsigned char>(piece.back());
        EXPECT_TRUE(last < 0x80 || (last & 0xC0) == 0x80);
        decoded += piece;
        pos = end + 2;
        if (pos < encoded.size()) {
            ASSERT_EQ(encoded.compare(pos, 3, "\r\n "), 0);
            pos += 3;
        }
    }
    EXPECT_EQ(decoded, text);
}
