// What the `music` station's first request costs: synthesising every tune, encoding it,
// and both for the whole station, as the first sequence request does without a cache.
#include "Mp3Encoder.h"
#include "MusicLibrary.h"
#include "ToneSynth.h"
#include "TuneBook.h"

#include <benchmark/benchmark.h>

namespace
{
using namespace station;

void BM_SynthesiseAllTunes(benchmark::State& state)
{
    double seconds = 0;
    for (auto _ : state)
        for (const Tune& tune : Tunes())
        {
            const std::vector<int16_t> samples = ToneSynth::Render(tune);
            seconds += static_cast<double>(samples.size() / 2) / ToneSynth::kSampleRate;
            benchmark::DoNotOptimize(samples.data());
        }
    state.counters["audio_s_per_run"] = seconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SynthesiseAllTunes)->Unit(benchmark::kMillisecond);

void BM_EncodeAllTunes(benchmark::State& state)
{
    std::vector<std::vector<int16_t>> rendered;
    for (const Tune& tune : Tunes())
        rendered.push_back(ToneSynth::Render(tune));
    std::size_t bytes = 0;
    for (auto _ : state)
        for (const std::vector<int16_t>& samples : rendered)
            bytes += Mp3Encoder::Encode(samples, {})->size();
    state.counters["mp3_bytes_per_run"] =
        static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EncodeAllTunes)->Unit(benchmark::kMillisecond);

// The whole first load of the station, memory only.
void BM_LoadStationWithoutCache(benchmark::State& state)
{
    for (auto _ : state)
    {
        const MusicLibrary library({}, 0);
        for (const uint32_t trackid : MusicLibrary::TrackIds())
            benchmark::DoNotOptimize(library.TrackOf(trackid).bytes->size());
    }
}
BENCHMARK(BM_LoadStationWithoutCache)->Unit(benchmark::kMillisecond)->Iterations(3);
} // namespace

BENCHMARK_MAIN();
