#include "stored_mail.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <sstream>

#include <gtest/gtest.h>

#include "kro_test_support.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

RunResult run_reader(const std::string& token, const std::string& outdir, const char* seconds) {
    return run_program("/usr/bin/python3",
                       {KRO_TESTS_DIR "/support/read_mail.py", service_value("SMTP_MAILDIR"), token,
                        outdir, seconds},
                       "/");
}

}  // namespace

std::string StoredMail::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    return "";
}

int StoredMail::header_count(const std::string& name) const {
    int count = 0;
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) ++count;
    return count;
}

bool fetch_stored_mail(const std::string& token, StoredMail& mail) {
    TempDir dir;
    RunResult r = run_reader(token, dir.path(), "10");
    if (r.exit_code != 0) {
        ADD_FAILURE() << "no message for recipient token " << token << " in the SMTP sink";
        return false;
    }
    for (const std::string& line : lines_of(read_file(dir.file("meta.txt")))) {
        auto eq = line.find('=');
        if (eq != std::string::npos) mail.meta[line.substr(0, eq)] = line.substr(eq + 1);
    }
    mail.recipients = lines_of(read_file(dir.file("rcpt.txt")));
    for (const std::string& line : lines_of(read_file(dir.file("headers.txt")))) {
        auto colon = line.find(": ");
        if (colon != std::string::npos) mail.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    for (const std::string& line : lines_of(read_file(dir.file("addresses.txt")))) {
        auto t1 = line.find('\t');
        auto t2 = line.find('\t', t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos) continue;
        mail.addresses.push_back({line.substr(0, t1), line.substr(t1 + 1, t2 - t1 - 1), line.substr(t2 + 1)});
    }
    int count = std::atoi(mail.meta["part_count"].c_str());
    for (int i = 0; i < count; ++i) mail.parts.push_back(read_file(dir.file("part" + std::to_string(i) + ".bin")));
    mail.raw = read_file(dir.file("raw.eml"));
    return true;
}

bool no_stored_mail(const std::string& token) {
    TempDir dir;
    return run_reader(token, dir.path(), "1").exit_code == 3;
}

std::string unique_mail_token(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    std::ostringstream s;
    s << prefix << "-" << getpid() << "-" << std::time(nullptr) << "-" << counter++;
    return s.str();
}
