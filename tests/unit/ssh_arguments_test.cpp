#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/connection_info.h"
#include "connection/ssh_tunnel.h"

using namespace kro::connection;

namespace {

// Blanks, quotes and backslashes where the old text form split or unquoted words.
ConnectionInfo tunnelled_server() {
    ConnectionInfo info;
    info.use_ssh = 1;
    info.ssh_user.assign("deploy \"ops\"", 1);
    info.ssh_password.assign("s3cret pw\\", 1);
    info.ssh_host.assign("gate way.example.org", 1);
    info.ssh_port = 2222;
    info.local_port = 3310;
    info.host.assign("db.internal", 1);
    info.port = 3306;
    info.ssh_key_file.assign("/home/de ploy/.ssh/id_ed25519", 1);
    return info;
}

using Words = std::vector<std::string>;

}  // namespace

TEST(SshArguments, PasswordLoginGivesEachTextAsOneWordAndThePasswordNone) {
    EXPECT_EQ(build_ssh_arguments("/opt/kro x/kro-plink", tunnelled_server()),
              (Words{"/opt/kro x/kro-plink", "-ssh", "-l", "deploy \"ops\"", "-pwstdin", "-L",
                     "3310:db.internal:3306", "-P", "2222", "gate way.example.org"}));
}

TEST(SshArguments, KeyLoginAddsTheKeyFileAfterTheHost) {
    ConnectionInfo info = tunnelled_server();
    info.ssh_password_auth = 0;
    EXPECT_EQ(build_ssh_arguments("kro-plink", info),
              (Words{"kro-plink", "-ssh", "-l", "deploy \"ops\"", "-pwstdin", "-L", "3310:db.internal:3306",
                     "-P", "2222", "gate way.example.org", "-i", "/home/de ploy/.ssh/id_ed25519"}));
}

TEST(SshArguments, HelperIsFoundOnPathWhenItIsNotBesideTheProgram) {
    // The test program's folder holds no kro-plink.
    EXPECT_EQ(ssh_helper_path(), "kro-plink");
}
