// What the tests of whole and split tracks share: the tracks of a station's first sequence,
// the byte order a split track must arrive in, computed here round by round, and the
// station's records of the requests for them.
#pragma once

#include "Station.h"
#include "download/DownloadTestSupport.h"
#include "sequence/RadioSequenceMgr.h"
#include "sequence/TrackInfo.h"
#include "support/SequenceWait.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace integration
{
// The track as the player must get it: wc bytes of the cache part, then ws of the song
// part, round after round; once one part is used up, the rest of the other.
inline std::string Interleaved(const std::string& cache, DWORD wc, const std::string& song,
                               DWORD ws)
{
    std::string out;
    std::size_t c = 0;
    std::size_t s = 0;
    while (c < cache.size() || s < song.size())
    {
        const std::size_t nc = std::min<std::size_t>(wc, cache.size() - c);
        const std::size_t ns = std::min<std::size_t>(ws, song.size() - s);
        if (nc + ns == 0)
        {
            out += cache.substr(c) + song.substr(s);
            break;
        }
        out += cache.substr(c, nc) + song.substr(s, ns);
        c += nc;
        s += ns;
    }
    return out;
}

// The station's bytes of the split track, interleaved by its weights.
inline std::string ExpectedSplitTrack(const STrackInfo& rec)
{
    return Interleaved(downloadtest::StationCachePart(rec.trackid, rec.cachesize), rec.splitcache,
                       downloadtest::StationSong(rec.trackid, rec.songpartsize), rec.splitsong);
}

// The track as the player must get it: a split track interleaved, a whole one as it is.
inline std::string ExpectedTrack(const STrackInfo& rec)
{
    return rec.cachesize != 0 ? ExpectedSplitTrack(rec)
                              : downloadtest::StationSong(rec.trackid, rec.songsize);
}

// The station's records of the requests whose target starts with prefix, in the order it
// answered them, once it has logged at least n of them.
inline std::vector<station::RequestRecord> RequestsTo(station::Station& station,
                                                      const std::string& prefix, std::size_t n)
{
    std::vector<station::RequestRecord> found;
    const bool bLogged = station.WaitForRequests(
        [&](const std::vector<station::RequestRecord>& records)
        {
            found.clear();
            for (const station::RequestRecord& record : records)
                if (record.target.rfind(prefix, 0) == 0)
                    found.push_back(record);
            return found.size() >= n;
        });
    EXPECT_TRUE(bLogged) << "the station logged " << found.size() << " of " << n << " " << prefix
                         << " requests";
    return found;
}

// The requests for one part ("song" or "cache") of a track.
inline std::vector<station::RequestRecord> PartRequests(station::Station& station, DWORD dwTrackId,
                                                        const char* pszPart, std::size_t n)
{
    return RequestsTo(station, "/content/" + std::to_string(dwTrackId) + "/" + pszPart + ".mp3", n);
}

// A header of a request as the station kept it; "<none>" when it was not sent.
inline std::string HeaderOf(const station::RequestRecord& record, const std::string& name)
{
    for (const auto& [key, value] : record.headers)
        if (key == name)
            return value;
    return "<none>";
}

// The first n tracks of a station's first sequence, asked for as the engine asks.
inline std::vector<STrackInfo> FirstTracksOf(const char* pszStation, std::size_t n)
{
    std::vector<STrackInfo> tracks(n);
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence(pszStation);
    EXPECT_TRUE(testsupport::NextTrack(mgr, tracks[0]));
    EXPECT_TRUE(testsupport::DownloadEnded(mgr));
    for (std::size_t i = 1; i < tracks.size(); ++i)
        EXPECT_TRUE(mgr.GetNextTrack(tracks[i]));
    return tracks;
}

// The split station's first sequence: 301 (weights 1:3), 302 (1:1) and 303 (3:5).
inline std::vector<STrackInfo> SplitTracks()
{
    std::vector<STrackInfo> tracks = FirstTracksOf("split", 3);
    for (std::size_t i = 0; i < tracks.size(); ++i)
    {
        EXPECT_EQ(tracks[i].trackid, 301 + i);
        EXPECT_EQ(tracks[i].cacheid, "OVC" + std::to_string(301 + i));
    }
    return tracks;
}
} // namespace integration
