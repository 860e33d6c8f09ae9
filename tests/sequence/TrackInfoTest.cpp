// Track lines into records: the field rules, defaults and token errors.
#include "sequence/TrackInfo.h"

#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace
{
// A valid line with every required field; rows replace or append fields.
const std::string kRequired = "OVDK::trackid=7::songurl=http://h/s.mp3::songbr=128::"
                              "songsize=5000::numchans=2::samplerate=44100::";
const std::string kNoId = "OVDK::songurl=http://h/s::songbr=128::songsize=5000::numchans=2::"
                          "samplerate=44100::trackid=";
const std::string kCached = kRequired + "cacheid=X::";

// The fields the rows look at, as ";key=value;" for each.
std::string Describe(const STrackInfo& r)
{
    auto n = [](DWORD dw) { return std::to_string(dw); };
    return ";trackid=" + n(r.trackid) + ";songsize=" + n(r.songsize) +
           ";songpartsize=" + n(r.songpartsize) + ";cachesize=" + n(r.cachesize) +
           ";skip=" + n(r.skip) + ";retry=" + n(r.retry) + ";splitcache=" + n(r.splitcache) +
           ";splitsong=" + n(r.splitsong) + ";track=" + r.track + ";songurl=" + r.songurl +
           ";songenc=" + r.songenc + ";arturl=" + r.arturl + ";weburl=" + r.weburl +
           ";cacheurl=" + r.cacheurl + ";cacheid=" + r.cacheid + ";artistid=" + r.artistid +
           ";artist=" + r.artist + ";album=" + r.album + ";stationtext=" + r.stationtext +
           ";browserstr=" + r.browserstr + ";";
}
} // namespace

// Each row: a line and the fields it gives ("key=value" joined by ';'), or "invalid".
TEST(TrackLineTest, LinesGiveTheirFieldsOrAreRefused)
{
    struct SRow
    {
        const char* name;
        std::string line;
        std::string want;
    };
    const SRow rows[] = {
        {"keys and prefix in any case, values as they are, defaults of absent fields",
         "ovDK::TRACKID=7::SongUrl=HTTP://A/B::SONGBR=128::songSize=5000::NumChans=2::"
         "samplerate=44100::Track=Mixed Case::",
         "trackid=7;songurl=HTTP://A/B;track=Mixed Case;songenc=;retry=30;skip=0;cachesize=0;"
         "songpartsize=0;songsize=5000"},
        {"another prefix", "XVDK::" + kRequired.substr(6), "invalid"},
        {"a prefix alone", "OVDK:", "invalid"},
        {"an empty line", "", "invalid"},
        {"a last field without its delimiter is lost", kRequired + "retry=5", "retry=30"},
        {"a last field with its delimiter", kRequired + "retry=5::", "retry=5"},
        {"a required field without its delimiter", kRequired.substr(0, kRequired.size() - 2),
         "invalid"},
        {"zero", kNoId + "0::", "trackid=0"},
        {"spaces around a number", kNoId + " 0 ::", "trackid=0"},
        {"a number ends at its first non-digit", kNoId + "12abc::", "trackid=12"},
        {"no digits", kNoId + "abc::", "invalid"},
        {"an empty number", kNoId + "::", "invalid"},
        {"a zero of two digits", kNoId + "00::", "invalid"},
        // Windows' 32-bit long saturates.
        {"a number past 32 bits", kNoId + "4294967296::", "trackid=2147483647"},
        {"a size past 32 bits",
         "OVDK::trackid=1::songurl=http://h/s::songbr=128::"
         "songsize=4294967296::numchans=2::samplerate=1::",
         "songsize=2147483647"},
        {"a zero bit rate",
         "OVDK::trackid=1::songurl=http://h/s::songbr=0::songsize=5::"
         "numchans=2::samplerate=1::",
         "invalid"},
        {"a zero size",
         "OVDK::trackid=1::songurl=http://h/s::songbr=128::songsize=0::"
         "numchans=2::samplerate=1::",
         "invalid"},
        {"no channels",
         "OVDK::trackid=1::songurl=http://h/s::songbr=128::songsize=5::"
         "numchans=::samplerate=1::",
         "invalid"},
        {"no sample rate",
         "OVDK::trackid=1::songurl=http://h/s::songbr=128::songsize=5::"
         "numchans=2::",
         "invalid"},
        {"skip 1", kRequired + "skip=1::", "skip=1"},
        {"skip 2 is no skip", kRequired + "skip=2::", "skip=0"},
        {"skip yes is no skip", kRequired + "skip=yes::", "skip=0"},
        {"addresses that are not http or https are dropped",
         kRequired + "arturl=/art/1.jpg::weburl=http:\\\\w\\x::cacheurl=HTTPS://h/c::",
         "arturl=;weburl=http:\\\\w\\x;cacheurl=HTTPS://h/c"},
        {"a song address that is not http",
         "OVDK::trackid=7::songurl=ftp://h/s::songbr=128::"
         "songsize=5::numchans=2::samplerate=1::",
         "invalid"},
        {"a song address without its slashes",
         "OVDK::trackid=7::songurl=http:/h::songbr=128::"
         "songsize=5::numchans=2::samplerate=1::",
         "invalid"},
        {"a cache part adds its size to the track's",
         "OVDK::trackid=7::songurl=http://h/s::songbr=128::cachesize=1000::songsize=5000::"
         "numchans=2::samplerate=44100::cacheid=C7::cacheurl=http://h/c::splitcache=1::"
         "splitsong=3::",
         "songsize=6000;songpartsize=5000;cachesize=1000;cacheid=C7;splitcache=1;splitsong=3"},
        {"a cache part without its address",
         kCached + "cachesize=10::splitcache=1::splitsong=1::", "invalid"},
        {"a cache part at an ftp address",
         kCached + "cacheurl=ftp://x::cachesize=10::splitcache=1::splitsong=1::", "invalid"},
        {"a cache part without its size",
         kCached + "cacheurl=http://c::splitcache=1::splitsong=1::", "invalid"},
        {"a cache part without its weight",
         kCached + "cacheurl=http://c::cachesize=10::splitsong=1::", "invalid"},
        {"a cache part without the song's weight",
         kCached + "cacheurl=http://c::cachesize=10::splitcache=1::", "invalid"},
        {"cache fields without a cache id are optional",
         kRequired + "cacheurl=ftp://x::", "cacheurl="},
        {"decoded fields and fields taken as they are",
         kRequired + "track=Hello+World%21::artistid=A+B::artist=Rock%20%26%20Roll::"
                     "album=%4g::stationtext=end%::songenc=m+p3::browserstr=a%2Bb::",
         // Reading a code stops at its first non-hex character; a '%' at the very end
         // decodes to nothing; an escaped '+' stays a '+'.
         "track=Hello World!;artistid=A+B;artist=Rock & Roll;album=\x04;stationtext=end;"
         "songenc=m+p3;browserstr=a+b"},
        {"the first occurrence wins", kRequired + "track=First::track=Second::", "track=First"},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        STrackInfo rec;
        const bool bValid = ParseTrackExtendedM3u(row.line.c_str(), rec);
        EXPECT_EQ(bValid, row.want != "invalid") << row.line;
        if (!bValid)
            continue;
        const std::string fields = Describe(rec);
        std::istringstream wanted(row.want);
        for (std::string field; std::getline(wanted, field, ';');)
            EXPECT_NE(fields.find(";" + field + ";"), std::string::npos)
                << field << " in " << fields;
    }
    for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"100%", "100"}, {"a%4", "a\x04"}, {"x%00y", "x"}})
    {
        std::string text = in;
        DecodeText(text);
        EXPECT_EQ(text, out) << in;
    }
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
    EXPECT_FALSE(ParseTrackExtendedM3u("OVDK::track=Song %25s::trackid=7::songbr=128::", rec));
    EXPECT_TRUE(capture.HasLine("ParseTrackExtendedM3u:token error on Song %s:::songurl=\n"))
        << (capture.Lines().empty() ? "" : capture.Lines().back());
    capture.Clear();
    EXPECT_TRUE(ParseTrackExtendedM3u((kRequired + "track=Plain::").c_str(), rec));
    EXPECT_TRUE(capture.HasLine("ParseTrackExtendedM3u: no Skippable field for Plain, set to 0"));
}
