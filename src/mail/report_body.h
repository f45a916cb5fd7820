// ReportBody: the HTML and plain texts of a job's report mail, built side by side.
// Owned by the job; every append writes both texts at once.
#pragma once

#include "common/str_buf.h"

struct ReportBody {
    StrBuf html;
    StrBuf plain;

    void append(const char* html_piece, const char* plain_piece) {
        html.append(html_piece);
        plain.append(plain_piece);
    }
};
