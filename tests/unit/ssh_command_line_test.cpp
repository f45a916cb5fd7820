#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/connection_info.h"
#include "connection/ssh_tunnel.h"
#include "platform/command_line.h"

namespace {

ConnectionInfo tunnelled_server() {
    ConnectionInfo info;
    info.use_ssh = 1;
    info.ssh_user.assign("deploy", 1);
    info.ssh_password.assign("s3cret pw", 1);
    info.ssh_host.assign("gate.example.org", 1);
    info.ssh_port = 2222;
    info.local_port = 3310;
    info.host.assign("db.internal", 1);
    info.port = 3306;
    info.ssh_key_file.assign("/home/deploy/.ssh/id_ed25519", 1);
    return info;
}

using Words = std::vector<std::string>;

}  // namespace

TEST(SshCommandLine, PasswordLoginQuotesEveryTextButTheForwarding) {
    ConnectionInfo info = tunnelled_server();
    StrBuf line = build_ssh_command_line("/opt/kro/kro-plink", info);
    EXPECT_STREQ(line.c_str(),
                 "\"/opt/kro/kro-plink\" -ssh -l \"deploy\" -pw \"s3cret pw\" "
                 "-L 3310:db.internal:3306 -P 2222 \"gate.example.org\"");
    EXPECT_EQ(split_command_line(line.view()),
              (Words{"/opt/kro/kro-plink", "-ssh", "-l", "deploy", "-pw", "s3cret pw", "-L",
                     "3310:db.internal:3306", "-P", "2222", "gate.example.org"}));
}

TEST(SshCommandLine, KeyLoginPutsTheHostUnquotedBeforeTheKeyAndPassesAnEmptyPassphrase) {
    ConnectionInfo info = tunnelled_server();
    info.ssh_password_auth = 0;
    info.ssh_password.clear();
    StrBuf line = build_ssh_command_line("kro-plink", info);
    EXPECT_STREQ(line.c_str(),
                 "\"kro-plink\" -ssh -l \"deploy\" -pw \"\" -L 3310:db.internal:3306 -P 2222 "
                 "gate.example.org -i \"/home/deploy/.ssh/id_ed25519\"");
    EXPECT_EQ(split_command_line(line.view()),
              (Words{"kro-plink", "-ssh", "-l", "deploy", "-pw", "", "-L", "3310:db.internal:3306",
                     "-P", "2222", "gate.example.org", "-i", "/home/deploy/.ssh/id_ed25519"}));
}

TEST(SshCommandLine, QuotesAndBackslashesInTextsSurviveTheRoundTrip) {
    ConnectionInfo info = tunnelled_server();
    const std::string password = "a\"b\\\"c\\ d\\";  // a"b\"c\ d\   (ends in a backslash)
    info.ssh_password.assign(password.c_str(), 1);
    info.ssh_user.assign("we\"ird", 1);
    Words words = split_command_line(build_ssh_command_line("/p/kro-plink", info).view());
    ASSERT_EQ(words.size(), 11u);
    EXPECT_EQ(words[3], "we\"ird");
    EXPECT_EQ(words[5], password);
    EXPECT_EQ(words[10], "gate.example.org");
}

TEST(SshCommandLine, SplittingFollowsBlanksQuotesAndEscapes) {
    EXPECT_EQ(split_command_line("  a\tb   c  "), (Words{"a", "b", "c"}));
    EXPECT_EQ(split_command_line("\"\" x \"\""), (Words{"", "x", ""}));
    EXPECT_EQ(split_command_line("\"a b\"c d"), (Words{"a bc", "d"}));
    EXPECT_EQ(split_command_line("C:\\dir\\file \"x\\\\\" \\\"q"), (Words{"C:\\dir\\file", "x\\", "\"q"}));
    EXPECT_EQ(split_command_line(""), Words{});
}

TEST(SshCommandLine, HelperIsFoundOnPathWhenItIsNotBesideTheProgram) {
    // The test program's folder holds no kro-plink.
    EXPECT_EQ(ssh_helper_path(), "kro-plink");
}
