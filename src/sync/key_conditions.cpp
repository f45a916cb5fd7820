#include "sync/key_conditions.h"

namespace kro::sync {

namespace {

std::string term(const BoundaryValue& column, const char* op) {
    std::string text = " `";
    for (char c : column.name) {
        text += c;
        if (c == '`') text += '`';
    }
    text += "`  ";
    text += op;
    text += ' ';
    if (column.unquoted) return text + column.value;
    return text + "'" + column.value + "'";
}

// Group i holds terms 0 .. i; op_of(i, j) names term j's operator.
template <typename Op>
std::string groups(const std::vector<BoundaryValue>& boundary, Op op_of) {
    std::string text;
    for (std::size_t i = 0; i < boundary.size(); ++i) {
        if (i) text += " OR ";
        text += '(';
        for (std::size_t j = 0; j <= i; ++j) {
            if (j) text += " AND ";
            text += term(boundary[j], op_of(i, j));
        }
        text += ')';
    }
    return text;
}

}  // namespace

std::string greater_than(const std::vector<BoundaryValue>& boundary) {
    return groups(boundary, [](std::size_t i, std::size_t j) { return j == i ? ">" : "="; });
}

std::string at_most(const std::vector<BoundaryValue>& boundary) {
    std::size_t last = boundary.size() - 1;
    return groups(boundary, [last](std::size_t i, std::size_t j) {
        if (j == last) return "<=";
        return j == i ? "<" : "=";
    });
}

}  // namespace kro::sync
