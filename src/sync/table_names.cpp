#include "sync/table_names.h"

#include <strings.h>

#include "connection/sql_quote.h"

using namespace kro::connection;

namespace kro::sync {

std::string unquoted_name(std::string_view name) {
    if (name.size() < 2 || name.front() != '`' || name.back() != '`') return std::string(name);
    std::string plain;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        plain += name[i];
        if (name[i] == '`' && name[i + 1] == '`' && i + 2 < name.size()) ++i;
    }
    return plain;
}

bool nocase_equal_unquoted(std::string_view a, std::string_view b) {
    const std::string x = unquoted_name(a), y = unquoted_name(b);
    return x.size() == y.size() && strncasecmp(x.data(), y.data(), x.size()) == 0;
}

std::string sql_table_name(const std::string& name) {
    if (name.size() >= 2 && name.front() == '`' && name.back() == '`') return name;
    return backquoted(name);
}

}  // namespace kro::sync
