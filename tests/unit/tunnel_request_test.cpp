#include <gtest/gtest.h>

#include <string>

#include "connection/tunnel_request.h"

using namespace kro::connection;

TEST(TunnelRequest, EscapesMarkupAndControlBytesButKeepsLineBreaksAndHighBytes) {
    std::string out;
    append_xml_escaped(out, std::string("a<b&c\"d'e>f\x01g\x1f\r\n\t\xc3\xa9\0z", 21));
    EXPECT_EQ(out, "a&lt;b&amp;c&quot;d&apos;e&gt;f&#x1;g&#x1F;\r\n\t\xc3\xa9&#x0;z");
}

TEST(TunnelRequest, PlainRequestHasEveryValueEscapedAndTheLengthBeforeEscaping) {
    TunnelRequest r;
    r.host = "db&host";
    r.user = "u";
    r.password = "p<w";
    r.charset = "utf8";
    r.port = 3306;
    r.query = "select '<'";
    EXPECT_EQ(build_tunnel_request(r),
              "<xml><connect_info><host e='0'>db&amp;host</host><user e='0'>u</user>"
              "<password e='0'>p&lt;w</password><charset e='0'>utf8</charset><port e='0'>3306</port>"
              "</connect_info><query_info><query b='0' e='0'>select &apos;&lt;&apos;</query>"
              "<querylen>10</querylen></query_info></xml>");
}

TEST(TunnelRequest, EncodeDataPutsEveryValueInBase64AndTheQueryFlagOnlyTheQuery) {
    TunnelRequest r;
    r.host = "h";
    r.database = "db";
    r.port = 7;
    r.query = std::string_view("a\0b", 3);
    r.batch = true;
    r.encode_query = true;
    EXPECT_EQ(build_tunnel_request(r),
              "<xml><connect_info><host e='0'>h</host><db e='0'>db</db><port e='0'>7</port></connect_info>"
              "<query_info><query b='1' e='1'>YQBi</query><querylen>3</querylen></query_info></xml>");
    r.encode_query = false;
    r.encode_data = true;
    EXPECT_EQ(build_tunnel_request(r),
              "<xml><connect_info><host e='1'>aA==</host><db e='1'>ZGI=</db><port e='1'>Nw==</port></connect_info>"
              "<query_info><query b='1' e='1'>YQBi</query><querylen>3</querylen></query_info></xml>");
}
