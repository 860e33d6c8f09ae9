// bench-table: the last step of `make bench`. Starts ovradio-station with the scenario
// below, measures ovradio-play and an engine host beside curl on the same loopback
// station, reads the google-benchmark results of the bench_* programs, and prints one
// table: each figure beside its reference from the same run, the ratio and the goal.
//
// usage: bench-table BIN_DIR [RESULTS_DIR]
//   BIN_DIR      where ovradio-play, ovradio-station and this program are
//   RESULTS_DIR  the bench_* programs' JSON results (bench_http.json, bench_sequence.json)
// OVR_BENCH_REALTIME_SECONDS shortens the real-time run (default 60) while iterating;
// OVR_BENCH_SHOW_TRACE prints the traced start's trace lines with their times (ms).
#include "Child.h"
#include "EngineRuns.h"
#include "Station.h"
#include "host/Preferences.h"
#include "support/TestCertificates.h"
#include "support/TraceCapture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
using namespace bench;

constexpr long long kBigTrack = 200LL * 1000 * 1000;
constexpr long long kSmallTrack = 2LL * 1000 * 1000;
constexpr long long kGapTrack = 1000LL * 1000;
constexpr int kGapTracks = 9;
constexpr int kSmallTracks = 10;
constexpr int kRuns = 3;
// Other load on the machine only adds CPU, by a few milliseconds a run: the least of four
// runs tells the engine's own cost where two did not (the fixed cost moved by 8 ms).
constexpr int kRealtimeRuns = 4;
// A program that only loads and exits costs some 15 ms; the least of ten is its own cost.
constexpr int kLoadRuns = 10;
constexpr long long kRealtimeBytesPerSecond = 128 * 125;
constexpr auto kPlayLimit = std::chrono::seconds(300);

// The shorter of the two real-time runs, whose difference from the longer one is the cost
// of playing on; what it leaves of the shorter one is the cost of starting and stopping.
int ShortRealtimeSeconds(int nRealtimeSeconds)
{
    return std::max(1, nRealtimeSeconds / 6);
}

// One station for every row: each row plays a station id of its own.
std::string Scenario(int nRealtimeSeconds)
{
    std::ostringstream rules;
    rules << "station thru tracks 9001\n"
          << "station thru size " << kBigTrack << "\n"
          << "track 9001 magic none\n"
          << "station lat tracks 9101\n"
          << "station lat header startthresh=0\n"
          << "track 9101 magic none\n"
          << "station gap tracks 9201,9202,9203,9204,9205,9206,9207,9208,9209,9210\n"
          << "station gap size " << kGapTrack << "\n"
          << "station rt tracks 9301\n"
          << "station rt size " << nRealtimeSeconds * kRealtimeBytesPerSecond << "\n"
          << "station rtshort tracks 9302\n"
          << "station rtshort size "
          << ShortRealtimeSeconds(nRealtimeSeconds) * kRealtimeBytesPerSecond << "\n"
          << "station rtone tracks 9303\n"
          << "station rtone size "
          << ShortRealtimeSeconds(nRealtimeSeconds) * kRealtimeBytesPerSecond << "\n"
          << "station rtone header numcaches=1\n"
          << "station mem200 tracks 9401\n"
          << "station mem200 size " << kBigTrack << "\n"
          << "station mem200/content rate 20000000\n"
          << "station mem2 tracks 9501,9502,9503,9504,9505,9506,9507,9508,9509,9510,9511\n"
          << "station mem2 size " << kSmallTrack << "\n"
          << "station mem2/content rate 20000000\n";
    return rules.str();
}

struct SRow
{
    std::string strName;
    std::string strFigure;
    std::string strReference;
    std::string strRatio;
    std::string strGoal;
    std::string strMet; // "met", "not met", "not measured"
};

// The value in fixed notation between a prefix and a suffix (built by appending).
std::string Fixed(double dValue, int nDecimals, const char* pszPrefix = "",
                  const char* pszSuffix = "")
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", nDecimals, dValue);
    std::string out = pszPrefix;
    out += text;
    out += pszSuffix;
    return out;
}

SRow NotMeasured(const std::string& strName, const std::string& strGoal, const std::string& why)
{
    return {strName, "not measured", why, "", strGoal, "not measured"};
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class CBench
{
public:
    CBench(std::string strBinDir, std::string strResultsDir, int nRealtimeSeconds)
        : m_strBinDir(std::move(strBinDir)), m_strResultsDir(std::move(strResultsDir)),
          m_nRealtimeSeconds(nRealtimeSeconds)
    {
    }

    std::vector<SRow> Run()
    {
        MakeHome();
        CStationProcess station(m_strBinDir, Scenario(m_nRealtimeSeconds));
        PointEngineAt(station);
        std::vector<SRow> rows;
        Step("throughput", [&] { Throughput(station, rows); });
        Step("start latency", [&] { Latency(station, rows); });
        Step("gap between tracks", [&] { Gaps(rows); });
        Step("real-time CPU", [&] { Realtime(rows); });
        Step("memory", [&] { Memory(rows); });
        Step("throughput over TLS", [&] { ThroughputOverTls(rows); });
        Step("benchmark results", [&] { Results(rows); });
        std::error_code error;
        std::filesystem::remove_all(m_strHome, error);
        return rows;
    }

private:
    template <class F>
    void Step(const char* pszName, F run)
    {
        std::cerr << "bench-table: " << pszName << "...\n";
        run();
    }

    void MakeHome()
    {
        char szTemplate[] = "/tmp/ovr-bench-home-XXXXXX";
        if (::mkdtemp(szTemplate) == nullptr)
            throw std::runtime_error("cannot make the runtime folder");
        m_strHome = szTemplate;
        ::setenv("OVRADIO_HOME", m_strHome.c_str(), 1);
    }

    static void PointEngineAt(const CStationProcess& station)
    {
        if (host::PrefSetValueString("OVRadio", "SequenceUrl",
                                     station.BaseUrl() + "/sequence.m3u?") != 0 ||
            host::PrefSetValueString("OVRadio", "TimeServer", station.TimeServer()) != 0 ||
            host::PrefSetValueString("OVRadio", "TlsCaFile", station.CaFile()) != 0)
            throw std::runtime_error("cannot write the engine's preferences");
    }

    SChildResult Play(const std::string& strStation, int nTracks, bool bRealtime)
    {
        std::vector<std::string> argv = {m_strBinDir + "/ovradio-play", "--station", strStation,
                                         "--tracks", std::to_string(nTracks)};
        if (bRealtime)
            argv.push_back("--realtime");
        else
            argv.insert(argv.end(), {"--read-size", "65536"});
        return bench::Run(argv, false, kPlayLimit);
    }

    // The same 200 MB track from a station that serves TLS with a certificate made for the
    // run, beside curl over TLS from it. The engine plays from it through the same
    // preferences, which then point at it for the rest of the run.
    void ThroughputOverTls(std::vector<SRow>& rows)
    {
        testsupport::CTestAuthority authority(m_strHome);
        const testsupport::STlsFiles files =
            authority.Issue(testsupport::ECertificate::eGood, "bench");
        const STlsStation tls{files.certFile, files.keyFile, authority.CaFile()};
        CStationProcess station(m_strBinDir, Scenario(m_nRealtimeSeconds), &tls);
        PointEngineAt(station);
        Throughput(station, rows, "throughput over TLS, 200 MB track");
    }

    void Throughput(const CStationProcess& station, std::vector<SRow>& rows,
                    const char* pszName = "throughput, 200 MB track")
    {
        const SRow none = NotMeasured(pszName, ">= 0.95x curl", "");
        const SCurlTimes sequence =
            CurlFetch(SequenceUrl(station, "thru"), true, true, station.CaFile());
        const std::string strSong = FirstSongUrl(sequence.strBody);
        if (strSong.empty())
            return rows.push_back(NotMeasured(none.strName, none.strGoal, "no content address"));
        std::vector<double> curl, curlTransfer, play, hostTransfer;
        for (int i = 0; i < kRuns; ++i)
        {
            const SCurlTimes fetch = CurlFetch(strSong, false, false, station.CaFile());
            if (!fetch.bOk || static_cast<long long>(fetch.dBytes) != kBigTrack)
                return rows.push_back(NotMeasured(none.strName, none.strGoal, "curl failed"));
            curl.push_back(fetch.dWall);
            curlTransfer.push_back(fetch.dTotal - fetch.dStartTransfer);
            const SChildResult result = Play("thru", 1, false);
            if (!result.bExited || result.nExitCode != 0)
                return rows.push_back(
                    NotMeasured(none.strName, none.strGoal, "ovradio-play failed"));
            play.push_back(result.dWallSeconds);
            const SChildResult host = bench::Run(
                {m_strBinDir + "/bench-table", "--host", "transfer", "thru"}, true, kPlayLimit);
            unsigned long long nBytes = 0;
            double dSeconds = 0;
            if (!host.bExited || host.nExitCode != 0 ||
                std::sscanf(host.strOutput.c_str(), "transfer %llu %lf", &nBytes, &dSeconds) != 2 ||
                static_cast<long long>(nBytes) != kBigTrack || dSeconds <= 0)
                return rows.push_back(NotMeasured(none.strName, none.strGoal, "the host failed"));
            hostTransfer.push_back(dSeconds);
        }
        auto rate = [](const std::vector<double>& seconds)
        { return kBigTrack / 1e6 / *std::min_element(seconds.begin(), seconds.end()); };
        const double dRatio = rate(play) / rate(curl);
        rows.push_back({none.strName, Fixed(rate(play), 0, "ovradio-play ", " MB/s"),
                        Fixed(rate(curl), 0, "curl ", " MB/s"), Fixed(dRatio, 2, "", "x"),
                        none.strGoal, dRatio >= 0.95 ? "met" : "not met"});
        rows.push_back({"  first byte to end (engine host)",
                        Fixed(rate(hostTransfer), 0, "", " MB/s"),
                        Fixed(rate(curlTransfer), 0, "curl ", " MB/s"),
                        Fixed(rate(hostTransfer) / rate(curlTransfer), 2, "", "x"), "", ""});
    }

    void Latency(const CStationProcess& station, std::vector<SRow>& rows)
    {
        const std::string strGoal = "<= curl + 50 ms";
        std::vector<std::vector<double>> hosts;
        std::vector<double> totals;
        for (int i = 0; i < kRuns; ++i)
        {
            const SChildResult result = bench::Run(
                {m_strBinDir + "/bench-table", "--host", "latency", "lat"}, true, kPlayLimit);
            std::vector<double> phases(5);
            if (!result.bExited || result.nExitCode != 0 ||
                std::sscanf(result.strOutput.c_str(), "latency %lf %lf %lf %lf %lf", &phases[0],
                            &phases[1], &phases[2], &phases[3], &phases[4]) != 5)
                return rows.push_back(NotMeasured("start latency", strGoal, "the host failed"));
            hosts.push_back(phases);
            const SChildResult start = bench::Run(
                {m_strBinDir + "/bench-table", "--host", "start", "lat"}, true, kPlayLimit);
            double dTotal = 0;
            if (!start.bExited || start.nExitCode != 0 ||
                std::sscanf(start.strOutput.c_str(), "start %lf", &dTotal) != 1)
                return rows.push_back(NotMeasured("start latency", strGoal, "the host failed"));
            totals.push_back(dTotal);
        }
        std::vector<double> curlTime, curlSequence, curlContent;
        for (int i = 0; i < kRuns; ++i)
        {
            const SCurlTimes time = CurlFetch(TimeUrl(station), false, false);
            const SCurlTimes sequence = CurlFetch(SequenceUrl(station, "lat"), true, true);
            const SCurlTimes content = CurlFetch(FirstSongUrl(sequence.strBody), false, false);
            if (!time.bOk || !sequence.bOk || !content.bOk)
                return rows.push_back(NotMeasured("start latency", strGoal, "curl failed"));
            curlTime.push_back(time.dTotal * 1000);
            m_dCurlCpu = m_dCurlCpu == 0 ? time.dCpu : std::min(m_dCurlCpu, time.dCpu);
            curlSequence.push_back(sequence.dTotal * 1000);
            curlContent.push_back(content.dStartTransfer * 1000);
        }
        // The run with the median total, so that its phases add up.
        std::sort(hosts.begin(), hosts.end(),
                  [](const auto& a, const auto& b) { return a[4] < b[4]; });
        const std::vector<double>& host = hosts[hosts.size() / 2];
        const double dCurl = Median(curlTime) + Median(curlSequence) + Median(curlContent);
        const double dTotal = Median(totals);
        rows.push_back({"start latency, startthresh 0", Fixed(dTotal, 1, "", " ms"),
                        Fixed(dCurl, 1, "curl ", " ms"), Fixed(dTotal - dCurl, 1, "+", " ms"),
                        strGoal, dTotal <= dCurl + 50 ? "met" : "not met"});
        // The phases come from a run with a trace viewer, which answers every trace line:
        // their sum is a little more than the total above.
        rows.push_back({"  time request (traced run)", Fixed(host[0], 1, "", " ms"),
                        Fixed(Median(curlTime), 1, "curl ", " ms"), "", "", ""});
        rows.push_back({"  sequence request (traced run)", Fixed(host[1], 1, "", " ms"),
                        Fixed(Median(curlSequence), 1, "curl ", " ms"), "", "", ""});
        rows.push_back({"  content request (traced run)", Fixed(host[2], 1, "", " ms"),
                        Fixed(Median(curlContent), 1, "curl ", " ms (first byte)"), "", "", ""});
        rows.push_back({"  handshake to first byte (traced run)", Fixed(host[3], 1, "", " ms"), "",
                        "", "", ""});
    }

    void Gaps(std::vector<SRow>& rows)
    {
        const std::string strGoal = "< 20 ms";
        const SChildResult result = bench::Run(
            {m_strBinDir + "/bench-table", "--host", "gap", "gap", std::to_string(kGapTracks)},
            true, kPlayLimit);
        std::istringstream in(result.strOutput);
        std::string strWord;
        std::vector<double> gaps;
        in >> strWord;
        for (double dGap = 0; in >> dGap;)
            gaps.push_back(dGap);
        if (!result.bExited || result.nExitCode != 0 || strWord != "gaps" || gaps.empty())
            return rows.push_back(NotMeasured("gap between tracks", strGoal, "the host failed"));
        const double dMax = *std::max_element(gaps.begin(), gaps.end());
        rows.push_back({std::string("gap between tracks (")
                            .append(std::to_string(gaps.size()))
                            .append(", flat out)"),
                        Fixed(Median(gaps), 1, "median ", " ms, max ") + Fixed(dMax, 1, "", " ms"),
                        "", "", strGoal, dMax < 20 ? "met" : "not met"});
    }

    // The whole process per minute of audio, and beside it the same track read flat out:
    // what starting, loading and downloading cost whatever the pace. A second, shorter
    // real-time run splits the cost: the difference of the two is what playing on costs
    // per minute, what that leaves of the shorter run is the fixed cost of one start and
    // stop. Each run is repeated and the least CPU taken, since other load only adds.
    void Realtime(std::vector<SRow>& rows)
    {
        const std::string strGoal = "< 0.06 s/min";
        const std::string strName = std::string("CPU, real time 128 kbit/s (")
                                        .append(std::to_string(m_nRealtimeSeconds))
                                        .append(" s)");
        const int nShortSeconds = ShortRealtimeSeconds(m_nRealtimeSeconds);
        std::optional<SChildResult> longest, shortest, shortestAlone;
        auto keepLeast = [](std::optional<SChildResult>& least, const SChildResult& run)
        {
            if (!least || run.CpuSeconds() < least->CpuSeconds())
                least = run;
        };
        for (int i = 0; i < kRealtimeRuns; ++i)
        {
            const SChildResult longRun = Play("rt", 1, true);
            const SChildResult shortRun = Play("rtshort", 1, true);
            const SChildResult aloneRun = Play("rtone", 1, true);
            for (const SChildResult* pRun : {&longRun, &shortRun, &aloneRun})
                if (!pRun->bExited || pRun->nExitCode != 0)
                    return rows.push_back(NotMeasured(strName, strGoal, "ovradio-play failed"));
            keepLeast(longest, longRun);
            keepLeast(shortest, shortRun);
            keepLeast(shortestAlone, aloneRun);
        }
        const SChildResult flat = Play("rt", 1, false);
        if (!flat.bExited || flat.nExitCode != 0)
            return rows.push_back(NotMeasured(strName, strGoal, "ovradio-play failed"));
        const double dMinutes = m_nRealtimeSeconds / 60.0;
        const double dShortMinutes = nShortSeconds / 60.0;
        const double dPerMinute = longest->CpuSeconds() / dMinutes;
        rows.push_back({strName, Fixed(dPerMinute, 3, "", " s/min"),
                        Fixed(flat.CpuSeconds(), 3, "same track flat out ", " s"), "", strGoal,
                        dPerMinute < 0.06 ? "met" : "not met"});
        const double dPlayOn =
            (longest->CpuSeconds() - shortest->CpuSeconds()) / (dMinutes - dShortMinutes);
        // The long run's wake-ups per minute of audio, its start and stop included.
        const double dSwitches = static_cast<double>(longest->usage.ru_nvcsw) / dMinutes;
        rows.push_back({"  per minute beyond the fixed cost", Fixed(dPlayOn, 4, "", " s/min"),
                        Fixed(dSwitches, 0, "", " vol. switches/min, whole run"), "",
                        "<= 0.005 s/min", dPlayOn <= 0.005 ? "met" : "not met"});
        const double dFixed = shortest->CpuSeconds() - dPlayOn * dShortMinutes;
        rows.push_back({"fixed CPU of one start and stop", Fixed(dFixed * 1000, 1, "", " ms"),
                        Fixed(m_dCurlCpu * 1000, 1, "curl, one request ", " ms"), "", "<= 20 ms",
                        dFixed <= 0.020 ? "met" : "not met"});
        // What the fixed cost holds: the station asks for four tracks cached ahead, so a
        // start fetches four sequences and four tracks where it plays one; and every start
        // first loads the program with the libraries it links, as curl's does.
        const double dAlone = shortestAlone->CpuSeconds() - dPlayOn * dShortMinutes;
        rows.push_back({"  of it, one track cached ahead, not four",
                        Fixed(dAlone * 1000, 1, "", " ms"), "", "", "", ""});
        const std::optional<double> loadOnly = LeastCpu({m_strBinDir + "/ovradio-play", "--help"});
        const std::optional<double> curlLoadOnly = LeastCpu({"/usr/bin/curl", "--version"});
        if (!loadOnly || !curlLoadOnly)
            return rows.push_back(NotMeasured("  of it, loading the program", "", "--help failed"));
        rows.push_back({"  of it, loading the program (--help)",
                        Fixed(*loadOnly * 1000, 1, "", " ms"),
                        Fixed(*curlLoadOnly * 1000, 1, "curl --version ", " ms"), "", "", ""});
    }

    // The least CPU of a few runs of a program that exits at once, nothing when one fails.
    std::optional<double> LeastCpu(const std::vector<std::string>& argv) const
    {
        std::optional<double> least;
        for (int i = 0; i < kLoadRuns; ++i)
        {
            const SChildResult run = bench::Run(argv, false, kPlayLimit);
            if (!run.bExited || run.nExitCode != 0)
                return std::nullopt;
            least = least ? std::min(*least, run.CpuSeconds()) : run.CpuSeconds();
        }
        return least;
    }

    // The rate meter's sample count as the engine traces it when a track closes; the
    // largest over the run.
    static long MaxMeterSamples(const testsupport::TraceCapture& trace)
    {
        long nMax = -1;
        const std::string strKey = "rate meter holds ";
        for (const std::string& line : trace.Lines())
            if (const std::size_t nAt = line.find(strKey); nAt != std::string::npos)
                nMax = std::max(nMax, std::atol(line.c_str() + nAt + strKey.size()));
        return nMax;
    }

    void Memory(std::vector<SRow>& rows)
    {
        const std::string strGoal = "within 4 MiB";
        testsupport::TraceCapture trace(false);
        const SChildResult big = Play("mem200", 1, false);
        const long nBigSamples = MaxMeterSamples(trace);
        trace.Clear();
        const SChildResult small = Play("mem2", kSmallTracks, false);
        const long nSmallSamples = MaxMeterSamples(trace);
        ::unsetenv("OVDIAG_SOCKET");
        if (!big.bExited || big.nExitCode != 0 || !small.bExited || small.nExitCode != 0)
            return rows.push_back(NotMeasured("peak RSS, 20 MB/s", strGoal, "ovradio-play failed"));
        const double dBig = big.usage.ru_maxrss / 1024.0; // ru_maxrss is in KiB
        const double dSmall = small.usage.ru_maxrss / 1024.0;
        const double dDiff = dBig > dSmall ? dBig - dSmall : dSmall - dBig;
        auto samples = [](long n) { return n < 0 ? std::string("?") : std::to_string(n); };
        rows.push_back({"peak RSS, 200 MB vs 2 MB tracks, 20 MB/s",
                        Fixed(dBig, 1, "200 MB: ", " MiB"), Fixed(dSmall, 1, "2 MB: ", " MiB"),
                        Fixed(dDiff, 1, "", " MiB apart"), strGoal,
                        dDiff <= 4.0 ? "met" : "not met"});
        rows.push_back({"  rate meter samples at track end",
                        std::string("200 MB: ").append(samples(nBigSamples)),
                        std::string("2 MB: ").append(samples(nSmallSamples)), "", "", ""});
    }

    // A figure of a google-benchmark JSON result: the field of the named benchmark.
    std::optional<double> Result(const std::string& strProgram, const std::string& strName,
                                 const std::string& strField) const
    {
        std::ifstream in(m_strResultsDir + "/" + strProgram + ".json");
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const std::size_t nAt = text.find("\"name\": \"" + strName + "\"");
        if (nAt == std::string::npos)
            return std::nullopt;
        const std::size_t nNext = text.find("\"name\":", nAt + 1);
        const std::size_t nField = text.find("\"" + strField + "\":", nAt);
        if (nField == std::string::npos || nField > nNext)
            return std::nullopt;
        return std::strtod(text.c_str() + nField + strField.size() + 3, nullptr);
    }

    void Results(std::vector<SRow>& rows)
    {
        const auto client =
            Result("bench_http", "BM_HttpClientRead/8192/real_time", "bytes_per_second");
        const auto curl = Result("bench_http", "BM_CurlCommand/real_time", "bytes_per_second");
        if (client && curl && *curl > 0)
        {
            const double dRatio = *client / *curl;
            rows.push_back({"HTTP layer, 8 KiB reads", Fixed(*client / 1e9, 2, "", " GB/s"),
                            Fixed(*curl / 1e9, 2, "curl ", " GB/s"), Fixed(dRatio, 2, "", "x"),
                            ">= 0.9x curl", dRatio >= 0.9 ? "met" : "not met"});
        }
        else
            rows.push_back(
                NotMeasured("HTTP layer, 8 KiB reads", ">= 0.9x curl", "no bench_http result"));
        const auto lines = Result("bench_sequence", "BM_ParseTrackLine", "items_per_second");
        if (lines)
            rows.push_back({"sequence parsing", Fixed(*lines / 1e6, 2, "", " M lines/s"), "", "",
                            ">= 1 M lines/s", *lines >= 1e6 ? "met" : "not met"});
        else
            rows.push_back(
                NotMeasured("sequence parsing", ">= 1 M lines/s", "no bench_sequence result"));
    }

    std::string m_strBinDir;
    std::string m_strResultsDir;
    int m_nRealtimeSeconds;
    std::string m_strHome;
    double m_dCurlCpu = 0; // the least CPU of one curl request (the time request)
};

void PrintTable(const std::vector<SRow>& rows)
{
    std::size_t widths[6] = {3, 6, 9, 5, 4, 3};
    auto fields = [](const SRow& row)
    {
        return std::vector<std::string>{row.strName,  row.strFigure, row.strReference,
                                        row.strRatio, row.strGoal,   row.strMet};
    };
    const std::vector<std::string> head = {"row", "figure", "reference", "ratio", "goal", ""};
    for (const SRow& row : rows)
    {
        const auto cells = fields(row);
        for (std::size_t i = 0; i < 6; ++i)
            widths[i] = std::max(widths[i], cells[i].size());
    }
    auto print = [&](const std::vector<std::string>& cells)
    {
        std::string line;
        for (std::size_t i = 0; i < 6; ++i)
        {
            line += cells[i];
            if (i < 5)
                line += std::string(widths[i] - cells[i].size() + 2, ' ');
        }
        std::cout << line << "\n";
    };
    std::cout << "\n== OVRadioEngine benchmarks (loopback, this machine, one run)\n";
    print(head);
    std::size_t nTotal = 0;
    for (std::size_t w : widths)
        nTotal += w + 2;
    std::cout << std::string(nTotal - 2, '-') << "\n";
    for (const SRow& row : rows)
        print(fields(row));
    std::cout << std::flush;
}
} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 3 && args[0] == "--host" && args[1] == "latency")
        return RunLatencyHost(args[2]);
    if (args.size() >= 3 && args[0] == "--host" && args[1] == "start")
        return RunStartHost(args[2]);
    if (args.size() >= 3 && args[0] == "--host" && args[1] == "transfer")
        return RunTransferHost(args[2]);
    if (args.size() >= 4 && args[0] == "--host" && args[1] == "gap")
        return RunGapHost(args[2], std::atoi(args[3].c_str()));
    if (args.empty() || args[0].rfind("--", 0) == 0)
    {
        std::cerr << "usage: bench-table BIN_DIR [RESULTS_DIR]\n";
        return 2;
    }
    int nRealtimeSeconds = 60;
    if (const char* pszSeconds = std::getenv("OVR_BENCH_REALTIME_SECONDS"))
        nRealtimeSeconds = std::max(1, std::atoi(pszSeconds));
    try
    {
        CBench bench(std::filesystem::absolute(args[0]).string(),
                     args.size() > 1 ? args[1] : std::string("."), nRealtimeSeconds);
        PrintTable(bench.Run());
        return 0;
    }
    catch (const std::exception& error)
    {
        std::cerr << "bench-table: " << error.what() << "\n";
        return 1;
    }
}
