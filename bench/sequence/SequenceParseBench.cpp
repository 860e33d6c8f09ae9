// Parsing speed of track lines and of a whole sequence body, so that later changes can
// be compared.
#include "sequence/SequenceHeader.h"
#include "sequence/TrackInfo.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{
// A realistic line of 30 fields.
std::string TrackLine(int id)
{
    const std::string n = std::to_string(id);
    return "OVDK::trackid=" + n + "::track=Some+Track+Title+" + n +
           "::artist=The+Artist%27s+Name::artistid=1234::album=An+Album+Title::albumid=5678"
           "::songurl=http://content.example.net/c/" +
           n +
           ".mp3?MAGIC=0a1b2c%3a000000000000%3a9f8e7d&SIZE=4000000::weburl=http://www.example.net/"
           "artist/1234::stationtext=Playing+on+the+station::arturl=http://art.example.net/5678.jpg"
           "::songbr=128::songsize=4000000::skip=1::nextdisplay=Coming+up%3A+Next+Track::"
           "qualityname=High+Quality::afd=mp3%2C128::numchans=2::samplerate=44100::browserstr="
           "buy%3Dnow::songenc=mp3::cacheid=C" +
           n + "::cacheurl=http://cache.example.net/C" + n +
           "::cachesize=400000::splitcache=1::splitsong=3::retry=5::extra1=a::extra2=b::";
}

const std::string kHeader = "status_code=200\nsession_id=77\ncachelow=5\ncachehigh=20\n"
                            "numcaches=3\nminbr=64\nstartthresh=4\nminpreconnectcache=2\n"
                            "ccdwindow=10\nccdthresh=80\n";

void UsePrivateHome()
{
    static const bool once = []
    {
        char pattern[] = "/tmp/ovradio-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        setenv("OVRADIO_HOME", pattern, 1);
        return true;
    }();
    (void)once;
}

void BM_ParseTrackLine(benchmark::State& state)
{
    const std::string line = TrackLine(7);
    for (auto _ : state)
    {
        STrackInfo rec;
        benchmark::DoNotOptimize(ParseTrackExtendedM3u(line.c_str(), rec));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ParseTrackLine);

// A 50-track body: the header, then each line split off and parsed into a copy of the
// template record, as the download thread does.
void BM_ParseSequenceBody(benchmark::State& state)
{
    UsePrivateHome();
    std::string body = kHeader;
    for (int i = 0; i < 50; ++i)
        body += TrackLine(i) + "\n";
    for (auto _ : state)
    {
        STrackInfo templateRec;
        SSequenceThreadParams params;
        ParseSequenceHeader(std::string_view(body).substr(0, 2048), templateRec, params);
        std::size_t at = body.find("OVDK::");
        int tracks = 0;
        while (at != std::string::npos)
        {
            const std::size_t end = body.find('\n', at);
            const std::string line = body.substr(at, end - at);
            STrackInfo rec = templateRec;
            tracks += ParseTrackExtendedM3u(line.c_str(), rec) ? 1 : 0;
            at = body.find("OVDK::", end);
        }
        benchmark::DoNotOptimize(tracks);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseSequenceBody);
} // namespace

BENCHMARK_MAIN();
