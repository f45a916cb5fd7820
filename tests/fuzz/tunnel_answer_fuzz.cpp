// libFuzzer target: any bytes as a tunnel script's answer. Parsing and reading every
// result must end in a result or a refusal, never a crash, an overread or a huge
// allocation (-rss_limit_mb catches the last).
#include <cstddef>
#include <cstdint>
#include <string>

#include "connection/tunnel_answer.h"

using namespace kro::connection;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TunnelAnswer answer;
    if (!answer.parse(std::string(reinterpret_cast<const char*>(data), size))) return 0;
    for (const tinyxml2::XMLElement* e = answer.first_result(); e; e = e->NextSiblingElement()) {
        TunnelOutcome o = answer.read_result(e);
        if (!o.result) continue;
        volatile std::size_t sum = 0;
        while (MYSQL_ROW row = o.result->fetch_row()) {
            for (unsigned f = 0; f < o.result->field_count; ++f) {
                if (row[f]) sum += static_cast<unsigned char>(row[f][o.result->current_lengths[f]]);
            }
        }
    }
    return 0;
}
