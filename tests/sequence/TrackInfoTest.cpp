// Track lines into records: the field rules, defaults and token errors.
#include "sequence/TrackInfo.h"

#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>
#include <string>

namespace
{
// A valid line with every required field; tests replace or append fields.
const std::string kRequired = "OVDK::trackid=7::songurl=http://h/s.mp3::songbr=128::"
                              "songsize=5000::numchans=2::samplerate=44100::";

bool Parse(const std::string& line, STrackInfo& rec)
{
    rec = STrackInfo{};
    return ParseTrackExtendedM3u(line.c_str(), rec);
}

STrackInfo Parsed(const std::string& line)
{
    STrackInfo rec;
    EXPECT_TRUE(Parse(line, rec)) << line;
    return rec;
}

bool Valid(const std::string& line)
{
    STrackInfo rec;
    return Parse(line, rec);
}
} // namespace

TEST(TrackLineTest, KeysAndPrefixMatchWithoutCaseAndValuesKeepTheirs)
{
    const STrackInfo rec = Parsed("ovDK::TRACKID=7::SongUrl=HTTP://A/B::SONGBR=128::songSize=5000::"
                                  "NumChans=2::samplerate=44100::Track=Mixed Case::");
    EXPECT_EQ(rec.trackid, 7u);
    EXPECT_EQ(rec.songurl, "HTTP://A/B");
    EXPECT_EQ(rec.track, "Mixed Case");
    // Defaults of absent optional fields.
    EXPECT_EQ(rec.songenc, "");
    EXPECT_EQ(rec.retry, 30u);
    EXPECT_EQ(rec.skip, 0u);
    EXPECT_EQ(rec.displaydelay, 0u);
    EXPECT_EQ(rec.cachesize, 0u);
    EXPECT_EQ(rec.songpartsize, 0u);
    EXPECT_EQ(rec.songsize, 5000u);
    EXPECT_EQ(STrackInfo{}.songenc, "mp3");

    EXPECT_FALSE(Valid("XVDK::" + kRequired.substr(6)));
    EXPECT_FALSE(Valid("OVDK:"));
    EXPECT_FALSE(Valid(""));
}

TEST(TrackLineTest, ALastFieldWithoutItsClosingDelimiterIsLost)
{
    EXPECT_EQ(Parsed(kRequired + "retry=5").retry, 30u);
    EXPECT_EQ(Parsed(kRequired + "retry=5::").retry, 5u);
    EXPECT_FALSE(Valid("OVDK::trackid=7::songurl=http://h/s.mp3::songbr=128::songsize=5000::"
                       "numchans=2::samplerate=44100"));
}

TEST(TrackLineTest, NumbersFollowTheConversionRules)
{
    auto withId = [](const std::string& id)
    {
        return "OVDK::trackid=" + id +
               "::songurl=http://h/s::songbr=128::songsize=5000::numchans=2::samplerate=44100::";
    };
    EXPECT_EQ(Parsed(withId("0")).trackid, 0u);
    EXPECT_EQ(Parsed(withId(" 0 ")).trackid, 0u);
    EXPECT_EQ(Parsed(withId("12abc")).trackid, 12u);
    EXPECT_FALSE(Valid(withId("abc")));
    EXPECT_FALSE(Valid(withId("")));
    EXPECT_FALSE(Valid(withId("00")));
    // Windows' 32-bit long saturates.
    EXPECT_EQ(Parsed(withId("4294967296")).trackid, 2147483647u);

    const std::string base = "OVDK::trackid=1::songurl=http://h/s::";
    EXPECT_FALSE(Valid(base + "songbr=0::songsize=5::numchans=2::samplerate=1::"));
    EXPECT_FALSE(Valid(base + "songbr=128::songsize=0::numchans=2::samplerate=1::"));
    EXPECT_FALSE(Valid(base + "songbr=128::songsize=5::numchans=::samplerate=1::"));
    EXPECT_FALSE(Valid(base + "songbr=128::songsize=5::numchans=2::"));
    EXPECT_EQ(Parsed(base + "songbr=128::songsize=4294967296::numchans=2::samplerate=1::").songsize,
              2147483647u);
}

TEST(TrackLineTest, SkipIsOneOnlyForOne)
{
    EXPECT_EQ(Parsed(kRequired + "skip=1::").skip, 1u);
    EXPECT_EQ(Parsed(kRequired + "skip=0::").skip, 0u);
    EXPECT_EQ(Parsed(kRequired + "skip=2::").skip, 0u);
    EXPECT_EQ(Parsed(kRequired + "skip=yes::").skip, 0u);
}

TEST(TrackLineTest, UrlFieldsMustBeHttpOrHttps)
{
    const STrackInfo rec =
        Parsed(kRequired + "arturl=/art/1.jpg::weburl=http:\\\\w\\x::cacheurl=HTTPS://h/c::");
    EXPECT_EQ(rec.arturl, "");
    EXPECT_EQ(rec.weburl, "http:\\\\w\\x");
    EXPECT_EQ(rec.cacheurl, "HTTPS://h/c");
    EXPECT_FALSE(Valid("OVDK::trackid=7::songurl=ftp://h/s::songbr=128::songsize=5::"
                       "numchans=2::samplerate=1::"));
    EXPECT_FALSE(Valid("OVDK::trackid=7::songurl=http:/h::songbr=128::songsize=5::"
                       "numchans=2::samplerate=1::"));
}

TEST(TrackLineTest, CachePartFieldsAndTheSizeSum)
{
    const STrackInfo rec = Parsed("OVDK::trackid=7::songurl=http://h/s::songbr=128::"
                                  "cachesize=1000::songsize=5000::numchans=2::samplerate=44100::"
                                  "cacheid=C7::cacheurl=http://h/c::splitcache=1::splitsong=3::");
    EXPECT_EQ(rec.songsize, 6000u);
    EXPECT_EQ(rec.songpartsize, 5000u);
    EXPECT_EQ(rec.cachesize, 1000u);
    EXPECT_EQ(rec.cacheid, "C7");
    EXPECT_EQ(rec.splitcache, 1u);
    EXPECT_EQ(rec.splitsong, 3u);

    const std::string cached = kRequired + "cacheid=X::";
    const std::string rest = "cachesize=10::splitcache=1::splitsong=1::";
    EXPECT_TRUE(Valid(cached + "cacheurl=http://c::" + rest));
    EXPECT_FALSE(Valid(cached + rest));
    EXPECT_FALSE(Valid(cached + "cacheurl=ftp://x::" + rest));
    EXPECT_FALSE(Valid(cached + "cacheurl=http://c::splitcache=1::splitsong=1::"));
    EXPECT_FALSE(Valid(cached + "cacheurl=http://c::cachesize=10::splitsong=1::"));
    EXPECT_FALSE(Valid(cached + "cacheurl=http://c::cachesize=10::splitcache=1::"));
    // Without a cache id the cache fields are optional.
    EXPECT_EQ(Parsed(kRequired + "cacheurl=ftp://x::").cacheurl, "");
}

TEST(TrackLineTest, DecodedFieldsAndVerbatimFields)
{
    const STrackInfo rec =
        Parsed(kRequired + "track=Hello+World%21::artistid=A+B::artist=Rock%20%26%20Roll::"
                           "album=%4g::stationtext=end%::songenc=m+p3::browserstr=a%2Bb::");
    EXPECT_EQ(rec.track, "Hello World!");
    EXPECT_EQ(rec.artistid, "A+B");
    EXPECT_EQ(rec.artist, "Rock & Roll");
    EXPECT_EQ(rec.album, "\x04");      // reading stops at the first non-hex character
    EXPECT_EQ(rec.stationtext, "end"); // a '%' at the very end decodes to nothing
    EXPECT_EQ(rec.songenc, "m+p3");
    EXPECT_EQ(rec.browserstr, "a+b"); // an escaped '+' stays a '+'

    std::string text = "100%";
    DecodeText(text);
    EXPECT_EQ(text, "100");
    text = "a%4";
    DecodeText(text);
    EXPECT_EQ(text, "a\x04");
    text = "x%00y";
    DecodeText(text);
    EXPECT_EQ(text, "x");
}

TEST(TrackLineTest, TheFirstOccurrenceWins)
{
    EXPECT_EQ(Parsed(kRequired + "track=First::track=Second::").track, "First");
}

TEST(FieldReaderTest, MatchesKeysInRunsOfColonsAfterPartialMatchesAndInAnyCase)
{
    CExtM3uStringFieldType reader(":::a=1:::TRACK=Up::trac::track=x:::");
    std::string value;
    ASSERT_TRUE(reader.GetString("::a=", value));
    EXPECT_EQ(value, "1");
    ASSERT_TRUE(reader.GetString("::track=", value));
    EXPECT_EQ(value, "Up");
    value = "untouched";
    EXPECT_FALSE(reader.GetString("::Track=", value)); // keys are given in lower case
    EXPECT_FALSE(reader.GetString("::trac=", value));
    EXPECT_EQ(value, "untouched");

    CExtM3uStringFieldType lines("sTatus_code\nStatus_Code=200\r\nnext=1\n");
    lines.SetDelimiter("\n");
    ASSERT_TRUE(lines.GetString("status_code=", value));
    EXPECT_EQ(value, "200\r");
}

TEST(FieldReaderTest, NeverReadsOutsideTheText)
{
    // Embedded NUL, a key at the very end, no delimiter: all inside the view.
    static constexpr char kText[] = "::a=1::\0::b=2::c=";
    const std::string text(kText, sizeof kText - 1);
    CExtM3uStringFieldType reader{std::string_view(text)};
    std::string value = "untouched";
    EXPECT_TRUE(reader.GetString("::b=", value));
    EXPECT_EQ(value, "2");
    value = "untouched";
    EXPECT_FALSE(reader.GetString("::c=", value));
    EXPECT_EQ(value, "untouched");
    EXPECT_FALSE(reader.GetString("c=", value));

    CExtM3uLongFieldType longs("x=5");
    LONG n = 99;
    EXPECT_FALSE(longs.GetLong("x=", n));
    EXPECT_EQ(n, 99);

    // A huge value is taken whole.
    const std::string big = "::v=" + std::string(100000, 'z') + "::";
    CExtM3uStringFieldType bigReader(big.c_str());
    ASSERT_TRUE(bigReader.GetString("::v=", value));
    EXPECT_EQ(value.size(), 100000u);

    // Line-delimited text, as in headers.
    CExtM3uNonZeroLongFieldType lines("a=0\nb=3\n");
    lines.SetDelimiter("\n");
    EXPECT_FALSE(lines.GetLong("a=", n));
    EXPECT_TRUE(lines.GetLong("b=", n));
    EXPECT_EQ(n, 3);
    CExtM3uBoolFieldType bools("a=2\n");
    bools.SetDelimiter("\n");
    n = 0;
    EXPECT_FALSE(bools.GetLong("a=", n));
    EXPECT_EQ(n, 2); // the value is read, the check fails
}

TEST(TrackLineTest, FailuresAndMissingSkipAreTraced)
{
    testsupport::TraceCapture capture;
    STrackInfo rec;
    EXPECT_FALSE(Parse("OVDK::track=Song %25s::trackid=7::songbr=128::", rec));
    EXPECT_TRUE(capture.HasLine("ParseTrackExtendedM3u:token error on Song %s:::songurl=\n"))
        << (capture.Lines().empty() ? "" : capture.Lines().back());
    capture.Clear();
    Parsed(kRequired + "track=Plain::");
    EXPECT_TRUE(capture.HasLine("ParseTrackExtendedM3u: no Skippable field for Plain, set to 0"));
}
