#include "session/ProxyCredentials.h"

#include <gtest/gtest.h>

TEST(ProxyCredentials, OnlyTheFieldsValueLeavesTheHead)
{
    const struct {
        std::string head, expected; // expected empty: nothing to hide
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", ""},
        {"GET / HTTP/1.1\r\nProxy-Authorization: Basic dTpw\r\nHost: a\r\n\r\n",
         "GET / HTTP/1.1\r\nProxy-Authorization: (not recorded)\r\nHost: a\r\n\r\n"},
        {"GET / HTTP/1.1\nproxy-authorization:Basic dTpw\nX-Proxy-Authorization: k\n\n",
         "GET / HTTP/1.1\nproxy-authorization: (not recorded)\nX-Proxy-Authorization: k\n\n"},
        {"CONNECT a:443 HTTP/1.1\r\nPROXY-AUTHORIZATION: x\r\nProxy-Authorization: y",
         "CONNECT a:443 HTTP/1.1\r\nPROXY-AUTHORIZATION: (not recorded)\r\n"
         "Proxy-Authorization: (not recorded)"},
        {"Proxy-Authorization:", "Proxy-Authorization: (not recorded)"},
    };
    for (const auto& c : cases) {
        std::string out = "untouched";
        EXPECT_EQ(ProxyCredentials::Hide(c.head, out), !c.expected.empty()) << c.head;
        EXPECT_EQ(out, c.expected.empty() ? "untouched" : c.expected) << c.head;
    }
}
