#include "plink_options.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kro::plink {

namespace {

// A TCP port number: digits only, 1 to 65535.
bool parse_port(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

// LOCALPORT:HOST:PORT; HOST may itself hold colons (an IPv6 address, bracketed or not).
bool parse_forward(const std::string& text, PlinkOptions& options) {
    std::size_t first = text.find(':');
    std::size_t last = text.rfind(':');
    if (first == std::string::npos || first == last) return false;
    std::string host = text.substr(first + 1, last - first - 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty()) return false;
    options.forward_host = host;
    return parse_port(text.substr(0, first), options.local_port) &&
           parse_port(text.substr(last + 1), options.forward_port);
}

// The first line of standard input, without its line break (or all of it when it ends
// first). Read a byte at a time: what follows the line (an "exit") is left for later.
bool read_password_line(std::string& password) {
    bool got_any = false;
    char c;
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return got_any;
        got_any = true;
        if (c == '\n') return true;
        password += c;
    }
}

}  // namespace

bool parse_plink_options(int argc, char** argv, PlinkOptions& options, std::string& error) {
    static const char kUsage[] =
        "usage: kro-plink -ssh -l USER (-pw PASSWORD | -pwstdin) -L LOCALPORT:HOST:PORT "
        "-P SSHPORT SSHHOST [-i KEYFILE]; -pwstdin reads the password (with -i the key's "
        "passphrase) from the first line of standard input";
    bool have_user = false, have_password = false, password_on_input = false, have_forward = false;
    int password_index = -1;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                error = std::string("missing value after ") + what + "; " + kUsage;
                return nullptr;
            }
            return argv[++i];
        };
        if (word == "-ssh") continue;
        if (word == "-l") {
            const char* v = value("-l");
            if (!v) return false;
            options.user = v;
            have_user = true;
        } else if (word == "-pw") {
            const char* v = value("-pw");
            if (!v) return false;
            options.password = v;
            password_index = i;
            have_password = true;
        } else if (word == "-pwstdin") {
            password_on_input = true;
        } else if (word == "-L") {
            const char* v = value("-L");
            if (!v) return false;
            if (!parse_forward(v, options)) {
                error = std::string("bad forwarding '") + v + "', expected LOCALPORT:HOST:PORT";
                return false;
            }
            have_forward = true;
        } else if (word == "-P") {
            const char* v = value("-P");
            if (!v) return false;
            if (!parse_port(v, options.ssh_port)) {
                error = std::string("bad SSH port '") + v + "'";
                return false;
            }
        } else if (word == "-i") {
            const char* v = value("-i");
            if (!v) return false;
            options.key_file = v;
            if (options.key_file.empty()) {
                error = "empty key file name after -i";
                return false;
            }
        } else if (!word.empty() && word[0] == '-') {
            error = "unknown option '" + word + "'; " + kUsage;
            return false;
        } else if (options.ssh_host.empty()) {
            options.ssh_host = word;
        } else {
            error = "unexpected word '" + word + "'; " + kUsage;
            return false;
        }
    }
    if (have_password && password_on_input) {
        error = std::string("-pw and -pwstdin exclude each other; ") + kUsage;
        return false;
    }
    if (!have_user || !(have_password || password_on_input) || !have_forward || options.ssh_host.empty()) {
        error = std::string("incomplete command line; ") + kUsage;
        return false;
    }
    if (password_index > 0) std::memset(argv[password_index], 0, std::strlen(argv[password_index]));
    if (password_on_input && !read_password_line(options.password)) {
        error = "-pwstdin: no password line on standard input";
        return false;
    }
    return true;
}

}  // namespace kro::plink
