// The engine's layers against the station's `music` tracks: the sequence service reads
// their titles, sizes and stream values, and the HTTP layer downloads the bytes the
// station's music library holds, a stream of whole MPEG audio frames.
#include "MpegFrame.h"
#include "host/UserId.h"
#include "integration/StationFixture.h"
#include "platform/Http.h"
#include "platform/HttpUrl.h"
#include "sequence/RadioSequenceMgr.h"
#include "support/ContentSigning.h"
#include "support/SequenceWait.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using integration::StationIntegration;

TEST_F(StationIntegration, TheEngineGetsTheMusicStationsTracks)
{
    namespace http = platform::http;
    const std::vector<uint32_t> ids = station::MusicLibrary::TrackIds();
    std::vector<STrackInfo> tracks(ids.size());
    {
        CRadioSequenceMgr mgr;
        mgr.GetNewSequence("music");
        for (std::size_t i = 0; i < tracks.size(); ++i)
        {
            ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[i])) << i;
            // Like the stream manager's pace: the rest of the sequence comes meanwhile.
            if (i == 0)
            {
                ASSERT_TRUE(testsupport::DownloadEnded(mgr));
            }
        }
    }

    http::Session session("Orvale Deck");
    http::Connection connection(session, "127.0.0.1", station.Port());
    for (std::size_t i = 0; i < tracks.size(); ++i)
    {
        const STrackInfo& rec = tracks[i];
        ASSERT_EQ(ids[i], rec.trackid);
        const station::Tune& tune = *station::MusicLibrary::TuneOf(rec.trackid);
        const std::string bytes = *station.Tracks().Music().TrackOf(rec.trackid).bytes;
        EXPECT_EQ(tune.title, rec.track); // decoded, "Frère Jacques" in UTF-8 included
        EXPECT_EQ(tune.artist, rec.artist);
        EXPECT_EQ(tune.album, rec.album);
        EXPECT_EQ(128u, rec.songbr);
        EXPECT_EQ(2u, rec.numchans);
        EXPECT_EQ(44100u, rec.samplerate);
        EXPECT_EQ("mp3", rec.songenc);
        EXPECT_EQ(bytes.size(), rec.songsize);
        EXPECT_TRUE(rec.cacheid.empty());

        http::UrlParts parts;
        ASSERT_TRUE(http::CrackUrl(testsupport::Sign(rec.songurl, GetUserId()), parts));
        http::Request request(connection, "GET", parts.strPathWithQuery);
        ASSERT_TRUE(request.Send());
        EXPECT_EQ(200u, request.StatusCode());
        DWORD dwError = 1;
        const std::string body = integration::ReadAll(request, dwError);
        EXPECT_EQ(0u, dwError);
        EXPECT_TRUE(body == bytes) << rec.trackid << ": " << body.size() << " of " << bytes.size();
        EXPECT_TRUE(station::WalkMpegFrames(body).Whole(body.size())) << rec.trackid;
    }
}
