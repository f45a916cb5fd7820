// The helper's command line, in the two forms the agent writes:
//   kro-plink -ssh -l USER -pw PASSWORD -L LOCALPORT:HOST:PORT -P SSHPORT SSHHOST
//   kro-plink -ssh -l USER -pw PASSPHRASE -L LOCALPORT:HOST:PORT -P SSHPORT SSHHOST -i KEYFILE
// With -i the -pw value is the key's passphrase (empty for a key without one).
#pragma once

#include <string>

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

// False with a message in `error` when the words are not such a command line.
// The password word is wiped from argv afterwards, so that process listings do not
// show it for longer than the start-up.
bool parse_plink_options(int argc, char** argv, PlinkOptions& options, std::string& error);
