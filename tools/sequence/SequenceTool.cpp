#include "SequenceTool.h"

#include "SessionOptions.h"
#include "platform/JsonText.h"
#include "sequence/ExtM3uStringFieldType.h"
#include "sequence/RadioSequenceMgr.h"

#include <optional>
#include <variant>

namespace
{
constexpr DWORD kPaceWaitMs = 10000;
constexpr uint32_t kMaxCount = 1000000;

struct SOptions : SSessionOptions
{
    int nCount = 1;
};

std::ostream* g_pStatusOut = nullptr;

void PrintStatus(int nCode, const char* pszText)
{
    if (!g_pStatusOut)
        return;
    *g_pStatusOut << "{\"type\":\"status\",\"code\":" << nCode
                  << ",\"text\":" << (pszText ? platform::JsonString(pszText) : std::string("null"))
                  << "}" << std::endl;
}

// The options, or what is wrong with the line.
std::variant<SOptions, std::string> ParseOptions(const std::vector<std::string>& args)
{
    SOptions options;
    std::vector<SCommandOption> table = SessionOptionTable(options);
    table.push_back({"--count", true,
                     [&options](const std::string& strValue) -> std::optional<std::string>
                     {
                         const std::optional<uint32_t> n = DecimalNumber(strValue, 0, kMaxCount);
                         if (!n)
                             return "--count takes a number from 0 to " +
                                    std::to_string(kMaxCount) + ", not \"" + strValue + "\"";
                         options.nCount = static_cast<int>(*n);
                         return std::nullopt;
                     }});
    if (std::optional<std::string> problem = ReadCommandLine(args, table))
        return *problem;
    if (std::optional<std::string> problem = FinishSessionOptions(options))
        return *problem;
    return options;
}

// The host's user information: "::id=" and "::usr_info=" fields, each empty when absent.
void ApplyUserInfo(SSequenceThreadParams& params, const std::string& strUserInfo)
{
    CExtM3uStringFieldType reader(strUserInfo.c_str());
    params.strUserId.clear();
    params.strUserInfo.clear();
    reader.GetString("::id=", params.strUserId);
    reader.GetString("::usr_info=", params.strUserInfo);
}

std::string TrackJson(const STrackInfo& t)
{
    std::string out = "{\"type\":\"track\"";
    auto text = [&](const char* name, const std::string& value)
    { out += std::string(",\"") + name + "\":" + platform::JsonString(value); };
    auto number = [&](const char* name, DWORD value)
    { out += std::string(",\"") + name + "\":" + std::to_string(value); };
    number("trackid", t.trackid);
    text("track", t.track);
    text("artistid", t.artistid);
    text("artist", t.artist);
    text("albumid", t.albumid);
    text("album", t.album);
    text("songurl", t.songurl);
    text("arturl", t.arturl);
    text("weburl", t.weburl);
    text("browserstr", t.browserstr);
    text("stationtext", t.stationtext);
    number("songsize", t.songsize);
    number("skip", t.skip);
    number("displaydelay", t.displaydelay);
    text("nextdisplay", t.nextdisplay);
    text("comingup", t.comingup);
    text("qualityname", t.qualityname);
    text("afd", t.afd);
    text("songenc", t.songenc);
    number("songbr", t.songbr);
    number("numchans", t.numchans);
    number("samplerate", t.samplerate);
    number("cachelow", t.cachelow);
    number("cachehigh", t.cachehigh);
    number("startthresh", t.startthresh);
    number("minpreconnectcache", t.minpreconnectcache);
    text("cacheid", t.cacheid);
    text("cacheurl", t.cacheurl);
    number("splitcache", t.splitcache);
    number("splitsong", t.splitsong);
    number("cachesize", t.cachesize);
    number("songpartsize", t.songpartsize);
    number("retry", t.retry);
    return out + "}";
}
} // namespace

int RunSequenceTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    const std::variant<SOptions, std::string> line = ParseOptions(args);
    if (const std::string* pProblem = std::get_if<std::string>(&line))
    {
        err << "ovradio-sequence: " << *pProblem << "\nusage: ovradio-sequence "
            << kSessionOptionsUsage << " [--count N]\n";
        return 2;
    }
    const SOptions* options = &std::get<SOptions>(line);
    g_pStatusOut = &out;
    int nTracks = 0;
    int nStatus = 0;
    {
        CRadioSequenceMgr mgr;
        SSequenceThreadParams& params = mgr.ServerIfc().Params();
        params.pfnStatusCallback = PrintStatus;
        params.strDispStation = options->strName;
        params.strAFD = options->strAFD;
        params.strCCD = options->strCCD;
        ApplyUserInfo(params, options->strUserInfo);
        mgr.ServerIfc().ResetRequestClock();
        mgr.Initialize();
        mgr.GetNewSequence(options->strStation);
        for (int i = 0; i < options->nCount; ++i)
        {
            // The stream manager's pace leaves the download time to finish.
            if (i > 0)
                mgr.ServerIfc().WaitForDownloadEnd(kPaceWaitMs);
            STrackInfo rec;
            if (!mgr.GetNextTrack(rec))
                break;
            out << TrackJson(rec) << std::endl;
            ++nTracks;
        }
        nStatus = mgr.GetSequenceStatus();
    }
    g_pStatusOut = nullptr;
    out << "{\"type\":\"end\",\"tracks\":" << nTracks << ",\"status\":" << nStatus << "}"
        << std::endl;
    return nTracks == options->nCount ? 0 : 3;
}
