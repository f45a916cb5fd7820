#include "ssh_login.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "diagnostics.h"

namespace kro::plink {

namespace {

struct SshKeyDeleter {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
using SshKeyPtr = std::unique_ptr<ssh_key_struct, SshKeyDeleter>;

// The user's home folder: HOME, else the password database's entry.
std::string home_directory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return ".";
}

std::string server_name(const PlinkOptions& o) {
    return o.ssh_host + " port " + std::to_string(o.ssh_port);
}

// "SHA256:..." of the key the server presented, or "" when it cannot be had.
std::string server_key_fingerprint(ssh_session session) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK) return "";
    SshKeyPtr owned(key);
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0) return "";
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    std::string result = text ? text : "";
    ssh_string_free_char(text);
    return result;
}

// Trust on first use: an unknown server's key is recorded; a key that differs from the
// recorded one is refused.
bool check_host_key(ssh_session session, const PlinkOptions& o, const std::string& known_hosts,
                    std::string& error) {
    switch (ssh_session_is_known_server(session)) {
        case SSH_KNOWN_HOSTS_OK:
            return true;
        case SSH_KNOWN_HOSTS_NOT_FOUND:
        case SSH_KNOWN_HOSTS_UNKNOWN:
            if (ssh_session_update_known_hosts(session) != SSH_OK)
                log_line("could not record the host key of " + server_name(o) + " in " +
                         known_hosts + ": " + ssh_get_error(session));
            return true;
        case SSH_KNOWN_HOSTS_CHANGED:
            error = "Host key verification failed: the host key of " + server_name(o) +
                    " has changed (it now presents " + server_key_fingerprint(session) +
                    ") and no longer matches the key recorded in " + known_hosts +
                    ". The connection was refused because someone may be intercepting it; "
                    "if the server's key was replaced on purpose, remove its old line from "
                    "that file.";
            return false;
        case SSH_KNOWN_HOSTS_OTHER:
            error = "Host key verification failed: " + server_name(o) +
                    " presents a key of another type than the one recorded in " + known_hosts +
                    ". The connection was refused because someone may be intercepting it; "
                    "if the server's keys were replaced on purpose, remove its old line from "
                    "that file.";
            return false;
        case SSH_KNOWN_HOSTS_ERROR:
        default:
            error = "Unable to check the host key of " + server_name(o) + " against " +
                    known_hosts + ": " + ssh_get_error(session);
            return false;
    }
}

// Answers a keyboard-interactive login whose prompts ask for the password.
int login_keyboard_interactive(ssh_session session, const std::string& password) {
    int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    for (int rounds = 0; rc == SSH_AUTH_INFO && rounds < 8; ++rounds) {
        int prompts = ssh_userauth_kbdint_getnprompts(session);
        for (int i = 0; i < prompts; ++i) {
            char echo = 0;
            ssh_userauth_kbdint_getprompt(session, static_cast<unsigned>(i), &echo);
            if (echo) return SSH_AUTH_DENIED;  // a question we cannot answer
            ssh_userauth_kbdint_setanswer(session, static_cast<unsigned>(i), password.c_str());
        }
        rc = ssh_userauth_kbdint(session, nullptr, nullptr);
    }
    return rc;
}

bool login_with_password(ssh_session session, const PlinkOptions& o, std::string& error) {
    int rc = ssh_userauth_none(session, nullptr);
    if (rc == SSH_AUTH_SUCCESS) return true;
    if (rc == SSH_AUTH_ERROR) {
        error = std::string("Login failed: ") + ssh_get_error(session);
        return false;
    }
    int methods = ssh_userauth_list(session, nullptr);
    if (methods & SSH_AUTH_METHOD_PASSWORD) {
        rc = ssh_userauth_password(session, nullptr, o.password.c_str());
    } else if (methods & SSH_AUTH_METHOD_INTERACTIVE) {
        rc = login_keyboard_interactive(session, o.password);
    } else {
        error = "Access denied: " + server_name(o) + " does not accept password logins for user '" +
                o.user + "'";
        return false;
    }
    if (rc == SSH_AUTH_SUCCESS) return true;
    if (rc == SSH_AUTH_ERROR)
        error = std::string("Login failed: ") + ssh_get_error(session);
    else
        error = "Access denied: wrong password for user '" + o.user + "' on " + server_name(o);
    return false;
}

bool login_with_key(ssh_session session, const PlinkOptions& o, std::string& error) {
    struct stat st {};
    if (stat(o.key_file.c_str(), &st) != 0) {
        error = "Unable to read the private key file '" + o.key_file + "': " + std::strerror(errno);
        return false;
    }
    ssh_key key = nullptr;
    const char* passphrase = o.password.empty() ? nullptr : o.password.c_str();
    int rc = ssh_pki_import_privkey_file(o.key_file.c_str(), passphrase, nullptr, nullptr, &key);
    if (rc != SSH_OK) {
        error = "Unable to load the private key '" + o.key_file +
                "': wrong passphrase, or not a private key file";
        return false;
    }
    SshKeyPtr owned(key);
    rc = ssh_userauth_publickey(session, nullptr, key);
    if (rc == SSH_AUTH_SUCCESS) return true;
    if (rc == SSH_AUTH_ERROR)
        error = std::string("Login failed: ") + ssh_get_error(session);
    else
        error = "Access denied: " + server_name(o) + " refused the key '" + o.key_file +
                "' for user '" + o.user + "'";
    return false;
}

}  // namespace

SshSessionPtr open_ssh_session(const PlinkOptions& o, std::string& error) {
    SshSessionPtr session(ssh_new());
    if (!session) {
        error = "Unable to create an SSH session";
        return nullptr;
    }
    ssh_session s = session.get();
    // The user's own ~/.ssh (by HOME), and none of the OpenSSH configuration files: the
    // command line says everything this helper does.
    std::string ssh_dir = home_directory() + "/.ssh";
    std::string known_hosts = ssh_dir + "/known_hosts";
    bool no = false;
    long timeout_seconds = 15;
    int nodelay = 1;
    unsigned int port = static_cast<unsigned int>(o.ssh_port);
    ssh_options_set(s, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(s, SSH_OPTIONS_HOST, o.ssh_host.c_str());
    ssh_options_set(s, SSH_OPTIONS_PORT, &port);
    ssh_options_set(s, SSH_OPTIONS_USER, o.user.c_str());
    ssh_options_set(s, SSH_OPTIONS_SSH_DIR, ssh_dir.c_str());
    ssh_options_set(s, SSH_OPTIONS_KNOWNHOSTS, known_hosts.c_str());
    ssh_options_set(s, SSH_OPTIONS_TIMEOUT, &timeout_seconds);
    ssh_options_set(s, SSH_OPTIONS_NODELAY, &nodelay);

    if (ssh_connect(s) != SSH_OK) {
        error = "Unable to connect to " + server_name(o) + ": " + ssh_get_error(s);
        return nullptr;
    }
    if (!check_host_key(s, o, known_hosts, error)) return nullptr;
    bool logged_in = o.key_file.empty() ? login_with_password(s, o, error) : login_with_key(s, o, error);
    if (!logged_in) return nullptr;
    return session;
}

}  // namespace kro::plink
