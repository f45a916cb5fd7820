// ReportBody: the HTML and plain texts of a job's report mail, built side by side.
// Owned by the job; every append writes both texts at once.
#pragma once

#include <cstring>
#include <string_view>

#include "common/html_text.h"
#include "common/str_buf.h"

namespace kro::report {

struct ReportBody {
    common::StrBuf html;
    common::StrBuf plain;

    void append(const char* html_piece, const char* plain_piece) {
        append_to(html, html_piece, html_piece ? std::strlen(html_piece) : 0);
        append_to(plain, plain_piece, plain_piece ? std::strlen(plain_piece) : 0);
    }

    // A text the report shows as it is: HTML-escaped in the HTML body, unchanged in the
    // plain one (a statement, an error text).
    void append_text(std::string_view text) {
        html.make_room(text.size());
        common::append_html_escaped(html, text.data(), text.size());
        append_to(plain, text.data(), text.size());
    }

    // Report bodies grow by many small pieces (a result table cell by cell): grow them
    // geometrically so that building a large report stays linear.
    static void append_to(common::StrBuf& text, const char* piece, std::size_t n) {
        if (!piece || n == 0) return;
        text.make_room(n);
        text.append(piece, static_cast<long>(n));
    }
};

}  // namespace kro::report
