#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <tinyxml2.h>

#include "connection/connection_info.h"

using namespace kro::connection;

namespace {

struct Read {
    ConnectionInfo info;
    HttpTunnelSettings http;
};

// Reads the settings of the <source> element of a job-file fragment.
Read read_server(const std::string& server_children, int values_are_utf8 = 1) {
    std::string xml = "<job><source>" + server_children + "</source></job>";
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    Read r;
    reset_connection_info(r.info);
    read_connection_info(doc.RootElement()->FirstChildElement("source"), r.info, r.http, values_are_utf8);
    return r;
}

}  // namespace

TEST(ConnectionInfoTest, ResetGivesTheDefaults) {
    ConnectionInfo info;
    info.port = 5;
    info.compressed = 0;
    info.ssl = 1;
    info.use_ssh = 1;
    info.ssh_password_auth = 0;
    info.wait_timeout.assign("5", 1);
    reset_connection_info(info);
    EXPECT_EQ(info.port, 0);
    EXPECT_EQ(info.compressed, 1);
    EXPECT_EQ(info.ssl, 0);
    EXPECT_EQ(info.use_ssh, 0);
    EXPECT_EQ(info.ssh_password_auth, 1);
    EXPECT_STREQ(info.wait_timeout.c_str(), "28800");
}

TEST(ConnectionInfoTest, ReadsTheServerTextsAndNumbers) {
    Read r = read_server(
        "<host>db.example</host><user>ann</user><pwd>s&amp;cret</pwd><port>3307</port>"
        "<database>shop</database><charset>latin1</charset><cacert>/c/ca.pem</cacert>"
        "<clientkey>/c/k.pem</clientkey><clientcert>/c/c.pem</clientcert><cipher>AES</cipher>");
    EXPECT_STREQ(r.info.host.c_str(), "db.example");
    EXPECT_STREQ(r.info.user.c_str(), "ann");
    EXPECT_STREQ(r.info.password.c_str(), "s&cret");
    EXPECT_EQ(r.info.port, 3307);
    EXPECT_STREQ(r.info.database.c_str(), "shop");
    EXPECT_STREQ(r.info.charset.c_str(), "latin1");
    EXPECT_STREQ(r.info.ssl_ca_cert.c_str(), "/c/ca.pem");
    EXPECT_STREQ(r.info.ssl_client_key.c_str(), "/c/k.pem");
    EXPECT_STREQ(r.info.ssl_client_cert.c_str(), "/c/c.pem");
    EXPECT_STREQ(r.info.ssl_cipher.c_str(), "AES");
    EXPECT_EQ(r.info.http_timeout, 30000);
    EXPECT_EQ(r.info.use_ssh + r.info.use_http, 0);
}

TEST(ConnectionInfoTest, PortAbsentStaysZeroAndEmptyGives3306) {
    EXPECT_EQ(read_server("<host>h</host>").info.port, 0);
    EXPECT_EQ(read_server("<port/>").info.port, 3306);
    EXPECT_EQ(read_server("<port><!-- none --></port>").info.port, 3306);
    EXPECT_EQ(read_server("<port>abc</port>").info.port, 0);
    EXPECT_EQ(read_server("<port>57903abc</port>").info.port, 0);  // never the number it starts with
    // Out of range is no port at all, never the port the number wraps around to.
    EXPECT_EQ(read_server("<port>88842</port>").info.port, 0);
    EXPECT_EQ(read_server("<port>-1</port>").info.port, 0);
    EXPECT_EQ(read_server("<port>65535</port>").info.port, 65535);
}

TEST(ConnectionInfoTest, PrettyPrintedSettingsLoseTheirSurroundingBlanksButPasswordsKeepThem) {
    Read r = read_server("<host>\n   127.0.0.1\n</host><port>\n  3307 </port><user> ann\t</user>"
                         "<pwd> two words </pwd><database>\r\n shop\n</database><ssl> 1 </ssl>"
                         "<tunnelinfo type='ssh'><sshhost> gw </sshhost><sshport> 2222 </sshport>"
                         "<sshpwd> s </sshpwd></tunnelinfo>");
    EXPECT_STREQ(r.info.host.c_str(), "127.0.0.1");
    EXPECT_EQ(r.info.port, 3307);
    EXPECT_STREQ(r.info.user.c_str(), "ann");
    EXPECT_STREQ(r.info.database.c_str(), "shop");
    EXPECT_EQ(r.info.ssl, 1);
    EXPECT_STREQ(r.info.ssh_host.c_str(), "gw");
    EXPECT_EQ(r.info.ssh_port, 2222);
    EXPECT_STREQ(r.info.password.c_str(), " two words ");
    EXPECT_STREQ(r.info.ssh_password.c_str(), " s ");
}

TEST(ConnectionInfoTest, CompressionIsOffOnlyForZero) {
    EXPECT_EQ(read_server("").info.compressed, 1);
    EXPECT_EQ(read_server("<compressed/>").info.compressed, 1);
    EXPECT_EQ(read_server("<compressed>0</compressed>").info.compressed, 0);
    EXPECT_EQ(read_server("<compressed>7</compressed>").info.compressed, 1);
    EXPECT_EQ(read_server("").info.compressed_given, 0);
    EXPECT_EQ(read_server("<compressed>1</compressed>").info.compressed_given, 1);
}

TEST(ConnectionInfoTest, SslFlagsNeedExactlyOne) {
    EXPECT_EQ(read_server("<ssl>1</ssl>").info.ssl, 1);
    EXPECT_EQ(read_server("<ssl>yes</ssl>").info.ssl, 0);
    EXPECT_EQ(read_server("<ssl/>").info.ssl, 0);
    EXPECT_EQ(read_server("<sslauth>1</sslauth>").info.ssl_auth, 1);
    EXPECT_EQ(read_server("<sslauth>true</sslauth>").info.ssl_auth, 0);
}

TEST(ConnectionInfoTest, SshTunnelKeysAndDefaults) {
    Read r = read_server(
        "<tunnelinfo type='SSH'><sshuser>u</sshuser><sshpwd>p</sshpwd><sshhost>gw</sshhost>"
        "<sshprivatekey>/k/id</sshprivatekey><sshispass>0</sshispass></tunnelinfo>");
    EXPECT_EQ(r.info.use_ssh, 1);
    EXPECT_EQ(r.info.use_http, 0);
    EXPECT_STREQ(r.info.ssh_user.c_str(), "u");
    EXPECT_STREQ(r.info.ssh_password.c_str(), "p");
    EXPECT_STREQ(r.info.ssh_host.c_str(), "gw");
    EXPECT_STREQ(r.info.ssh_key_file.c_str(), "/k/id");
    EXPECT_EQ(r.info.ssh_port, 22);
    EXPECT_EQ(r.info.local_port, 3310);
    EXPECT_EQ(r.info.ssh_password_auth, 0);

    Read other = read_server(
        "<tunnelinfo type='ssh'><sshport>2222</sshport><localport></localport><sshispass>false</sshispass>"
        "</tunnelinfo>");
    EXPECT_EQ(other.info.ssh_port, 2222);
    EXPECT_EQ(other.info.local_port, 3310);
    EXPECT_EQ(other.info.ssh_password_auth, 1);
}

TEST(ConnectionInfoTest, UnknownTunnelTypeLeavesADirectConnection) {
    for (const char* tunnel : {"<tunnelinfo type='ftp'><sshhost>gw</sshhost></tunnelinfo>",
                               "<tunnelinfo><url>http://x/t.php</url></tunnelinfo>"}) {
        Read r = read_server(tunnel);
        EXPECT_EQ(r.info.use_ssh, 0) << tunnel;
        EXPECT_EQ(r.info.use_http, 0) << tunnel;
        EXPECT_STREQ(r.info.ssh_host.c_str(), "") << tunnel;
        EXPECT_STREQ(r.info.tunnel_url.c_str(), "") << tunnel;
    }
}

TEST(ConnectionInfoTest, HttpTunnelKeys) {
    Read r = read_server(
        "<tunnelinfo type='Http'><url>https://w/t.php</url><timeout>60</timeout><encodedata>1</encodedata>"
        "<contenttype>application/x-www-form-urlencoded</contenttype>"
        "<proxy server='px' port='3128' user='pu' pwd='pp'/><httpauth user='au' pwd='ap'/></tunnelinfo>");
    EXPECT_EQ(r.info.use_http, 1);
    EXPECT_STREQ(r.info.tunnel_url.c_str(), "https://w/t.php");
    EXPECT_EQ(r.info.http_timeout, 60000);
    EXPECT_TRUE(r.http.encode_data);
    EXPECT_EQ(r.http.content_type, "application/x-www-form-urlencoded");
    EXPECT_TRUE(r.http.use_proxy);
    EXPECT_EQ(r.http.proxy_host, "px");
    EXPECT_EQ(r.http.proxy_port, 3128);
    EXPECT_EQ(r.http.proxy_user, "pu");
    EXPECT_EQ(r.http.proxy_password, "pp");
    EXPECT_TRUE(r.http.use_http_auth);
    EXPECT_EQ(r.http.http_auth_user, "au");
    EXPECT_EQ(r.http.http_auth_password, "ap");
}

TEST(ConnectionInfoTest, AnHttpTimeoutTooLargeForMillisecondsIsTheLongestOneInsteadOfWrapping) {
    Read r = read_server("<tunnelinfo type='http'><url>u</url><timeout>3000000</timeout></tunnelinfo>");
    EXPECT_EQ(r.info.http_timeout, INT_MAX);
}

TEST(ConnectionInfoTest, HttpTunnelWithoutOptionalKeysClearsProxyAndAuthentication) {
    Read r;
    r.http.use_proxy = true;
    r.http.proxy_host = "old";
    r.http.proxy_port = 1;
    r.http.use_http_auth = true;
    r.http.http_auth_user = "old";
    r.http.content_type = "old";
    std::string xml = "<source><tunnelinfo type='http'><url>u</url><proxy server='p'/></tunnelinfo></source>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    reset_connection_info(r.info);
    read_connection_info(doc.RootElement(), r.info, r.http, 1);
    EXPECT_EQ(r.info.http_timeout, 30000);
    EXPECT_EQ(r.http.content_type, "text/xml");
    EXPECT_TRUE(r.http.use_proxy);
    EXPECT_EQ(r.http.proxy_port, 808);  // port attribute absent
    EXPECT_EQ(r.http.proxy_user, "");
    EXPECT_FALSE(r.http.use_http_auth);
    EXPECT_EQ(r.http.http_auth_user, "");

    Read none = read_server("<tunnelinfo type='http'/>");
    EXPECT_FALSE(none.http.use_proxy);
    EXPECT_EQ(none.http.proxy_port, 808);
}

TEST(ConnectionInfoTest, ServerTextsOfALocaleFileAreConvertedButSshTextsAndUrlAreNot) {
    // The tests run in the C locale, whose character set is taken as UTF-8: a Latin-1 byte
    // there is no character.
    Read r = read_server("<host>M\xFCller</host><user>J\xC3\xB6rg</user><tunnelinfo type='ssh'>"
                         "<sshhost>gw\xFC</sshhost></tunnelinfo>",
                         0);
    EXPECT_STREQ(r.info.host.c_str(), "M?ller");
    EXPECT_STREQ(r.info.user.c_str(), "J\xC3\xB6rg");
    EXPECT_STREQ(r.info.ssh_host.c_str(), "gw\xFC");

    Read http = read_server("<tunnelinfo type='http'><url>http://h/\xE9.php</url></tunnelinfo>", 0);
    EXPECT_STREQ(http.info.tunnel_url.c_str(), "http://h/\xE9.php");

    Read utf8 = read_server("<host>M\xC3\xBCller</host>", 1);
    EXPECT_STREQ(utf8.info.host.c_str(), "M\xC3\xBCller");
}

TEST(ConnectionInfoTest, HttpTextsAreCutTo127Characters) {
    std::string long_user(200, 'a');
    std::string long_type;
    for (int i = 0; i < 130; ++i) long_type += "\xC3\xA9";
    Read r = read_server("<tunnelinfo type='http'><httpauth user='" + long_user + "' pwd='p'/>"
                         "<contenttype>" + long_type + "</contenttype></tunnelinfo>");
    EXPECT_EQ(r.http.http_auth_user, std::string(127, 'a'));
    EXPECT_EQ(r.http.content_type, long_type.substr(0, 254));
}

// "Source SERVER information not complete" is followed by each gap: which element, and
// what is wrong with a port that is given.
TEST(ConnectionInfoTest, IncompleteSettingsNameEachMissingElementAndAPortThatIsNone) {
    EXPECT_EQ(incomplete_server_detail(read_server("<host>h</host><port>3306</port><user>u</user>").info, false), "");
    EXPECT_EQ(incomplete_server_detail(read_server("<host>h</host><port> 49901x </port><user>u</user>").info, true),
              " (<port> \"49901x\" is not a port number from 1 to 65535; <database> is missing)");
    EXPECT_EQ(incomplete_server_detail(read_server("<port>70000</port><database>d</database>").info, true),
              " (<host> is missing; <port> \"70000\" is not a port number from 1 to 65535; <user> is missing)");
    EXPECT_EQ(incomplete_server_detail(read_server("<host>h</host><user>u</user>").info, false), " (<port> is missing)");
}
