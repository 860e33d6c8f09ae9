// Throughput of a whole track through the download chain (HTTP read, the source's pipe,
// the download thread, the track cache's pipe, a reader) from a loopback server, with a
// 1 MiB track cache pausing and resuming on its marks; beside bench_http's plain read it
// shows what the chain costs.
#include "download/TrackCache.h"
#include "download/TrackCacheOwner.h"
#include "sequence/ConnectionRateMeter.h"
#include "support/RawServer.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
constexpr std::size_t kTrackSize = 64 * 1024 * 1024;

// Pauses an ample cache and lets one that runs low write, as the stream manager does.
class CBenchOwner : public CTrackCacheOwner
{
public:
    BOOL NotifyCacheLow(CTrackCache* pCache) override { return pCache->StartWrite(); }
    BOOL NotifyCacheAmple(CTrackCache* pCache) override { return pCache->PauseWrite(); }
    void NotifyCacheWriteComplete(CTrackCache*) override {}
    std::shared_ptr<CConnectionRateMeter> GetRateMeter() override { return m_pMeter; }
    std::shared_ptr<mcRadioCacheMgr> GetRadioCacheMgr() override { return nullptr; }

private:
    std::shared_ptr<CConnectionRateMeter> m_pMeter = std::make_shared<CConnectionRateMeter>();
};

// Answers every request with the whole track, sent from memory.
testsupport::RawServer& Server()
{
    static const std::string track = []
    {
        std::string bytes(kTrackSize, '\0');
        for (std::size_t o = 0; o < kTrackSize; ++o)
            bytes[o] = static_cast<char>((o * 31 + o / 417) & 0xFF);
        return bytes;
    }();
    static testsupport::RawServer server(
        [](int fd)
        {
            testsupport::SendAll(fd, testsupport::Head("200 OK", track.size()));
            testsupport::SendAll(fd, track);
        });
    return server;
}

void BM_TrackDownload(benchmark::State& state)
{
    STrackInfo rec;
    rec.track = "bench";
    rec.songurl = "http://127.0.0.1:" + std::to_string(Server().Port()) + "/track.mp3";
    rec.songsize = kTrackSize;
    rec.songbr = 128;
    rec.cachelow = 5;   // 80000 bytes
    rec.cachehigh = 15; // 240000 bytes
    rec.retry = 30;
    CBenchOwner owner;
    std::vector<char> buffer(std::size_t(state.range(0)));
    for (auto _ : state)
    {
        CTrackCache cache(&rec, 1048576, &owner);
        if (!cache.SetupForWrite())
        {
            state.SkipWithError("no download");
            return;
        }
        std::size_t total = 0;
        while (!cache.IsEndOfData())
        {
            const DWORD dwRead = cache.Read(buffer.data(), DWORD(buffer.size()));
            total += dwRead;
            if (dwRead == 0)
                cache.WaitForData(500);
        }
        if (total != kTrackSize)
        {
            state.SkipWithError("short track");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTrackSize));
}
BENCHMARK(BM_TrackDownload)->Arg(8192)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char** argv)
{
    // A runtime folder of its own: the user's preferences and event log stay untouched.
    const std::filesystem::path home = std::filesystem::temp_directory_path() /
                                       ("ovr-bench-download-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("OVRADIO_HOME", home.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(home);
    return 0;
}
