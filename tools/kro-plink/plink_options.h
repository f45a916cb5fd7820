// The helper's command line, in the two forms the agent gives:
//   kro-plink -ssh -l USER -pwstdin -L LOCALPORT:HOST:PORT -P SSHPORT SSHHOST
//   kro-plink -ssh -l USER -pwstdin -L LOCALPORT:HOST:PORT -P SSHPORT SSHHOST -i KEYFILE
// -pwstdin: the password is the first line of standard input, so that no process listing
// shows it; -pw PASSWORD in its place serves people who start the helper by hand.
// With -i the password is the key's passphrase (empty for a key without one).
#pragma once

#include <string>

namespace kro::plink {

struct PlinkOptions {
    std::string user;
    std::string password;
    std::string ssh_host;
    int ssh_port = 22;
    int local_port = 0;
    std::string forward_host;
    int forward_port = 0;
    std::string key_file;  // empty: password login
};

// False with a message in `error` when the words are not such a command line, or when
// -pwstdin finds no line on standard input. A -pw word is wiped from argv afterwards, so
// that process listings do not show it for longer than the start-up.
bool parse_plink_options(int argc, char** argv, PlinkOptions& options, std::string& error);

}  // namespace kro::plink
