#include "import/access_file.h"

#include <cstdint>
#include <fstream>

#include "platform/text_convert.h"

namespace kro::import {

namespace {

constexpr std::size_t kPageSize = 4096;  // Jet 4 and ACE
constexpr std::size_t kMaxPages = 256;   // no definition is longer; a loop of pages ends here

// A table definition page begins with 0x02; a longer definition goes on in the pages its
// offset 4 names, each after an 8-byte head. The definition is read as one run of bytes.
bool read_definition(std::ifstream& file, long first, std::string& out) {
    std::string page(kPageSize, '\0');
    long number = first;
    for (std::size_t n = 0; number != 0 && n < kMaxPages; ++n) {
        if (!file.seekg(static_cast<std::streamoff>(number) * static_cast<std::streamoff>(kPageSize)) ||
            !file.read(page.data(), static_cast<std::streamsize>(kPageSize)) || page[0] != 0x02)
            return false;
        out.append(n == 0 ? page : page.substr(8));
        number = static_cast<long>(static_cast<unsigned char>(page[4]) | static_cast<unsigned char>(page[5]) << 8 |
                                   static_cast<unsigned char>(page[6]) << 16 |
                                   static_cast<std::uint32_t>(static_cast<unsigned char>(page[7])) << 24);
    }
    return number == 0;
}

// Reads little-endian numbers and names from the definition; any read past its end sets
// ok to false and gives zeros.
struct Cursor {
    const std::string& d;
    std::size_t pos;
    bool ok = true;

    std::uint32_t number(std::size_t at, int bytes) {
        if (at + static_cast<std::size_t>(bytes) > d.size()) {
            ok = false;
            return 0;
        }
        std::uint32_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(d[at + static_cast<std::size_t>(i)]);
        return value;
    }
    std::uint32_t take(int bytes) {
        const std::uint32_t value = number(pos, bytes);
        pos += static_cast<std::size_t>(bytes);
        return value;
    }
    // A name: 16-bit length, then UTF-16, or after FF FE "compressed" (single bytes, a zero
    // byte switching between single bytes and UTF-16 units).
    std::string name() {
        const std::size_t length = take(2);
        if (pos + length > d.size()) {
            ok = false;
            return "";
        }
        std::u16string units;
        std::size_t i = pos;
        const std::size_t end = pos + length;
        const bool compressed = length >= 2 && static_cast<unsigned char>(d[i]) == 0xFF &&
                                static_cast<unsigned char>(d[i + 1]) == 0xFE;
        if (!compressed) {
            for (; i + 1 < end; i += 2) units += static_cast<char16_t>(number(i, 2));
        } else {
            bool single = true;
            for (i += 2; i < end;) {
                if (d[i] == 0) {
                    single = !single;
                    ++i;
                } else if (single) {
                    units += static_cast<char16_t>(static_cast<unsigned char>(d[i++]));
                } else if (i + 1 < end) {
                    units += static_cast<char16_t>(number(i, 2));
                    i += 2;
                } else {
                    break;
                }
            }
        }
        pos = end;
        return platform::utf16_to_utf8(units);
    }
};

}  // namespace

bool read_access_table_definition(const std::string& path, long page, AccessTableDefinition& out) {
    out = AccessTableDefinition{};
    std::ifstream file(path, std::ios::binary);
    char version = 0;
    if (!file || !file.seekg(0x14) || !file.get(version) || version == 0 || page <= 0) return false;
    std::string d;
    if (!read_definition(file, page, d)) return false;
    Cursor c{d, 0};
    const std::uint32_t columns = c.number(45, 2), indexes = c.number(47, 4), real_indexes = c.number(51, 4);
    if (!c.ok || columns > 4096 || indexes > 4096 || real_indexes > indexes) return false;
    // Column entries of 25 bytes: type, its number (offset 5), flags (offset 15: 0x04 an
    // AutoNumber Long Integer).
    c.pos = 63 + 12 * real_indexes;
    std::vector<std::uint32_t> numbers;
    std::vector<bool> auto_number;
    for (std::uint32_t i = 0; i < columns; ++i) {
        numbers.push_back(c.number(c.pos + 5, 1));
        auto_number.push_back((c.number(c.pos + 15, 1) & 0x04) != 0);
        c.pos += 25;
    }
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < columns; ++i) names.push_back(c.name());
    if (!c.ok) return false;
    for (std::uint32_t i = 0; i < columns; ++i)
        if (auto_number[i]) out.auto_numbers.push_back(names[i]);
    auto column_name = [&](std::uint32_t number) -> const std::string* {
        for (std::uint32_t i = 0; i < columns; ++i)
            if (numbers[i] == number) return &names[i];
        return nullptr;
    };
    // Real index definitions of 52 bytes (4 unknown, ten column slots of a 16-bit column
    // number, 0xFFFF for none, and an order byte, 1 ascending; flags at offset 46: 0x01
    // unique), then the logical indexes of 28 bytes (the real index's number at offset 4,
    // the kind at 23: 1 primary key, 2 a relationship's entry), then their names.
    const std::size_t real_start = c.pos;
    c.pos += 52 * static_cast<std::size_t>(real_indexes);
    struct Logical {
        std::uint32_t real;
        int kind;
    };
    std::vector<Logical> logical;
    for (std::uint32_t i = 0; i < indexes; ++i) {
        logical.push_back({c.number(c.pos + 4, 2), static_cast<int>(c.number(c.pos + 23, 1))});
        c.pos += 28;
    }
    std::vector<std::string> index_names;
    for (std::uint32_t i = 0; i < indexes; ++i) index_names.push_back(c.name());
    if (!c.ok) return false;
    for (std::uint32_t i = 0; i < indexes; ++i) {
        if (logical[i].kind == 2 || logical[i].real >= real_indexes) continue;
        AccessIndex index;
        index.name = index_names[i];
        index.primary = logical[i].kind == 1;
        const std::size_t at = real_start + 52 * static_cast<std::size_t>(logical[i].real);
        for (std::size_t slot = 0; slot < 10; ++slot) {
            const std::uint32_t number = c.number(at + 4 + 3 * slot, 2);
            if (number == 0xFFFF) continue;
            const std::string* name = column_name(number);
            if (!name) return false;
            index.columns.push_back({*name, c.number(at + 6 + 3 * slot, 1) == 0});
        }
        index.unique = index.primary || (c.number(at + 46, 1) & 0x01) != 0;
        if (!c.ok) return false;
        if (!index.columns.empty()) out.indexes.push_back(std::move(index));
    }
    return true;
}

}  // namespace kro::import
