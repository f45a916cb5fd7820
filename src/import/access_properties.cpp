#include "import/access_properties.h"

#include <cstdint>

#include "platform/text_convert.h"

namespace kro::import {

namespace {

// The block is a run of chunks: a 32-bit length (with its 6-byte head) and a 16-bit kind.
// Kind 0x80 lists the property names; the other kinds hold the properties of the table
// (an empty object name) or of one column: a head (32-bit length, 16-bit name length, the
// name), then entries of 16-bit length, flags byte, type byte, 16-bit name index, 16-bit
// value length and the value. Numbers are little-endian; names are UTF-16 in Jet 4 / ACE
// files and single bytes in Jet 3 files.
std::uint32_t u16(const std::string& d, std::size_t at) {
    return static_cast<unsigned char>(d[at]) | static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8;
}
std::uint32_t u32(const std::string& d, std::size_t at) { return u16(d, at) | u16(d, at + 2) << 16; }

std::string name_text(const std::string& data, std::size_t at, std::size_t length, bool wide) {
    if (!wide) return data.substr(at, length);
    std::u16string units;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        units += static_cast<char16_t>(static_cast<unsigned char>(data[at + i]) |
                                       static_cast<unsigned char>(data[at + i + 1]) << 8);
    return platform::utf16_to_utf8(units);
}

}  // namespace

std::vector<std::string> access_required_columns(const std::string& block) {
    std::vector<std::string> required;
    if (block.size() < 4) return required;
    const std::string magic = block.substr(0, 4);
    const bool wide = magic == std::string("MR2\0", 4);
    if (!wide && magic != std::string("KKD\0", 4)) return required;
    std::vector<std::string> names;
    // Do n bytes from at end by end?
    auto fits = [](std::size_t at, std::size_t n, std::size_t end) { return at <= end && end - at >= n; };
    for (std::size_t chunk = 4; fits(chunk, 6, block.size());) {
        const std::uint32_t length = u32(block, chunk), kind = u16(block, chunk + 4);
        if (length < 6 || !fits(chunk, length, block.size())) break;
        const std::size_t end = chunk + length;
        std::size_t at = chunk + 6;
        if (kind == 0x80) {
            while (fits(at, 2, end) && fits(at + 2, u16(block, at), end)) {
                names.push_back(name_text(block, at + 2, u16(block, at), wide));
                at += 2 + u16(block, at);
            }
        } else if (fits(at, 6, end)) {
            const std::uint32_t head = u32(block, at), name_length = u16(block, at + 4);
            const std::string object = fits(at + 6, name_length, end) ? name_text(block, at + 6, name_length, wide) : "";
            for (at += head; !object.empty() && fits(at, 8, end);) {
                const std::uint32_t entry = u16(block, at), name = u16(block, at + 4), size = u16(block, at + 6);
                if (entry < 8 || !fits(at, entry, end)) break;
                // A yes/no value is one byte: any bit set is yes.
                if (name < names.size() && names[name] == "Required" && size == 1 && entry > 8 && block[at + 8] != 0)
                    required.push_back(object);
                at += entry;
            }
        }
        chunk = end;
    }
    return required;
}

}  // namespace kro::import
