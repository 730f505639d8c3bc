#include "core/web/web_address.h"

#include <gtest/gtest.h>

#include "core/web/http_message.h"
#include "core/web/web_settings.h"

namespace velk {
namespace {

TEST(WebAddress, NetworksHoldTheirAddressesAndNoOthers) {
    std::vector<AddressRange> ranges;
    std::string why;
    ASSERT_TRUE(ReadAddressRanges("10.1.0.0/16, 127.0.0.1 fd00::/8", ranges, why)) << why;
    EXPECT_TRUE(AddressAllowed("10.1.255.255", ranges));
    EXPECT_TRUE(AddressAllowed("10.1.0.0", ranges));
    EXPECT_FALSE(AddressAllowed("10.2.0.0", ranges));
    EXPECT_FALSE(AddressAllowed("10.0.255.255", ranges));
    EXPECT_TRUE(AddressAllowed("127.0.0.1", ranges));
    EXPECT_FALSE(AddressAllowed("127.0.0.2", ranges));
    EXPECT_TRUE(AddressAllowed("::ffff:127.0.0.1", ranges));  // the same caller on IPv6
    EXPECT_TRUE(AddressAllowed("fdab::1", ranges));
    EXPECT_FALSE(AddressAllowed("fe00::1", ranges));
    EXPECT_FALSE(AddressAllowed("", ranges));
    EXPECT_FALSE(AddressAllowed("not an address", ranges));

    EXPECT_TRUE(IsLoopbackAddress("127.255.255.255"));
    EXPECT_FALSE(IsLoopbackAddress("128.0.0.0"));
    EXPECT_TRUE(IsLoopbackAddress("::1"));
    EXPECT_TRUE(IsLoopbackAddress("0:0:0:0:0:0:0:1"));
    EXPECT_FALSE(IsLoopbackAddress("::2"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
}

TEST(WebAddress, WhatIsNoAddressIsRefused) {
    std::vector<AddressRange> ranges;
    std::string why;
    for (const char* bad : {"10.0.0.256", "10.0.0", "10.0.0.1.2", "010.0.0.1", "10.0.0.0/33",
                            "::1/129", "1:::2", "1::2::3", "12345::1", "10.0.0.0/", "/8"}) {
        EXPECT_FALSE(ReadAddressRanges(bad, ranges, why)) << bad;
    }
    EXPECT_TRUE(ReadAddressRanges("", ranges, why));
    EXPECT_TRUE(ranges.empty());

    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(ReadListenAddress("[::1]:8443", host, port, why));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 8443);
    ASSERT_TRUE(ReadListenAddress("0.0.0.0:65535", host, port, why));
    EXPECT_EQ(port, 65535);
    EXPECT_FALSE(ReadListenAddress("127.0.0.1:65536", host, port, why));
    EXPECT_FALSE(ReadListenAddress("127.0.0.1:0", host, port, why));
    EXPECT_FALSE(ReadListenAddress("localhost:80", host, port, why));
    EXPECT_FALSE(ReadListenAddress("127.0.0.1", host, port, why));
}

TEST(WebSettings, PlainHttpOnlyOnLoopbackUnlessAllowed) {
    EXPECT_EQ(ListenRefusal("127.0.0.1", false, false), "");
    EXPECT_EQ(ListenRefusal("::1", false, false), "");
    EXPECT_NE(ListenRefusal("0.0.0.0", false, false), "");
    EXPECT_NE(ListenRefusal("192.168.1.2", false, false), "");
    EXPECT_EQ(ListenRefusal("0.0.0.0", true, false), "");
    EXPECT_EQ(ListenRefusal("0.0.0.0", false, true), "");

    IniDocument ini;
    ini.Parse("[Web]\r\nCertificate=web.pem\r\nKey=/etc/k.pem\r\nMetricsFrom=10.0.0.0/8\r\n"
              "SessionMinutes=5\r\n");
    WebSettings web;
    std::string why;
    ASSERT_TRUE(ReadWebSettings(ini, "/base", web, why)) << why;
    EXPECT_EQ(web.certificate, "/base/web.pem");
    EXPECT_EQ(web.key, "/etc/k.pem");
    EXPECT_EQ(web.accounts, "/base/velk-web.users");
    EXPECT_EQ(web.sessionMinutes, 5);
    EXPECT_TRUE(AddressAllowed("10.9.9.9", web.metricsFrom));
    EXPECT_FALSE(AddressAllowed("127.0.0.1", web.metricsFrom));

    IniDocument half;
    half.Parse("[Web]\r\nCertificate=web.pem\r\n");
    EXPECT_FALSE(ReadWebSettings(half, "/base", web, why));
    IniDocument none;
    WebSettings defaults;
    ASSERT_TRUE(ReadWebSettings(none, "/base", defaults, why));
    EXPECT_TRUE(AddressAllowed("127.0.0.1", defaults.metricsFrom));
    EXPECT_FALSE(AddressAllowed("10.0.0.1", defaults.metricsFrom));
}

TEST(HttpMessage, FormFieldsAndCookiesAreDecoded) {
    std::multimap<std::string, std::string> fields;
    ReadFormFields("a=1+2&b=%3Cx%3E&c&d=%zz&e=%4", fields);
    EXPECT_EQ(fields.find("a")->second, "1 2");
    EXPECT_EQ(fields.find("b")->second, "<x>");
    EXPECT_EQ(fields.find("c")->second, "");
    EXPECT_EQ(fields.find("d")->second, "%zz");
    EXPECT_EQ(fields.find("e")->second, "%4");
    const auto cookies = ReadCookies("velk_session=abc; other = x=y ;bad");
    EXPECT_EQ(cookies.at("velk_session"), "abc");
    EXPECT_EQ(cookies.at("other"), "x=y");
    EXPECT_EQ(cookies.count("bad"), 0u);
}

}  // namespace
}  // namespace velk
