#include "export/key_pages.h"

#include "connection/sql_quote.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

KeyLiteral key_literal_for(const ColumnDefinition& column) {
    if (column.is_integer() || column.type == ColumnType::decimal || column.type == ColumnType::year)
        return KeyLiteral::number;
    if (column.is_binary()) return KeyLiteral::bytes;
    switch (column.type) {
    case ColumnType::date:
    case ColumnType::datetime:
    case ColumnType::timestamp:
    case ColumnType::time:
    case ColumnType::inet4:
    case ColumnType::inet6:
    case ColumnType::uuid:
        return KeyLiteral::text;
    default:
        return column.is_text() ? KeyLiteral::text : KeyLiteral::none;
    }
}

std::string key_value_literal(KeyLiteral literal, std::string_view value, EscapeFn escape, void* context) {
    if (literal == KeyLiteral::number) return std::string(value);
    if (literal == KeyLiteral::bytes) {
        static const char digits[] = "0123456789ABCDEF";
        std::string out = "X'";
        for (unsigned char c : value) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out + "'";
    }
    std::string out(2 * value.size() + 3, '\0');
    out[0] = '\'';
    unsigned long n = escape(context, out.data() + 1, value.data(), static_cast<unsigned long>(value.size()));
    if (n == static_cast<unsigned long>(-1)) return "";
    out.resize(n + 1);
    return out + "'";
}

std::string key_order(const std::vector<KeyColumn>& key) {
    std::string order;
    for (const KeyColumn& column : key) {
        if (!order.empty()) order += ",";
        order += backquoted(column.name);
    }
    return order;
}

void append_after_key(StrBuf& statement, const std::vector<KeyColumn>& key,
                      const std::vector<std::string>& literals) {
    statement.append(" where ");
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (i > 0) statement.append(" or ");
        if (i > 0) statement.append("(");
        for (std::size_t j = 0; j <= i; ++j) {
            if (j > 0) statement.append(" and ");
            statement.append("`");
            append_escaped_identifier(statement, key[j].name);
            statement.append(j < i ? "` = " : "` > ");
            statement.append(literals[j]);
        }
        if (i > 0) statement.append(")");
    }
}

}  // namespace kro::export_
