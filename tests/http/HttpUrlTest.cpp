#include "platform/HttpUrl.h"

#include <gtest/gtest.h>

namespace http = platform::http;

TEST(CrackUrl, SplitsSchemeHostPortAndPathWithQuery)
{
    struct Case
    {
        const char* url;
        const char* host;
        WORD port;
        const char* path;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080/sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=a%3Ab", "127.0.0.1", 8080,
         "/sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=a%3Ab"},
        {"http://Content.Example.net/c/7.mp3?MAGIC=0a%3a000%3a9f&X=a+b", "Content.Example.net", 80,
         "/c/7.mp3?MAGIC=0a%3a000%3a9f&X=a+b"},
        {"http://example.net", "example.net", 80, "/"},
        {"https://example.net/a", "example.net", 443, "/a"},
    };
    for (const Case& c : cases)
    {
        http::UrlParts parts;
        ASSERT_TRUE(http::CrackUrl(c.url, parts)) << c.url;
        EXPECT_EQ(c.host, parts.strHost) << c.url;
        EXPECT_EQ(c.port, parts.nPort) << c.url;
        EXPECT_EQ(c.path, parts.strPathWithQuery) << c.url;
    }
}

TEST(CrackUrl, RejectsMalformedUrls)
{
    for (const char* url : {"", "no scheme here", "http://", "http://host:99999/",
                            "http://host:12ab/", "http://ho st/", "http://host/a\nb", "://host/"})
    {
        http::UrlParts parts;
        parts.strHost = "kept";
        EXPECT_FALSE(http::CrackUrl(url, parts)) << url;
        EXPECT_EQ("kept", parts.strHost) << url;
        std::string canonical;
        EXPECT_FALSE(http::CanonicalizeUrl(url, canonical)) << url;
    }
}

TEST(CrackUrl, CanonicalFormLowersSchemeAndGivesABarePathSlash)
{
    std::string canonical;
    ASSERT_TRUE(http::CanonicalizeUrl("HTTP://Example.NET:81?a=B", canonical));
    EXPECT_EQ("http://Example.NET:81/?a=B", canonical);
}
