#include "SequenceTool.h"

#include "platform/Convert.h"
#include "platform/JsonText.h"
#include "sequence/ExtM3uStringFieldType.h"
#include "sequence/RadioSequenceMgr.h"

#include <optional>

namespace
{
constexpr DWORD kPaceWaitMs = 10000;

struct SOptions
{
    std::string strStation;
    std::string strName;
    std::string strAFD;
    std::string strCCD;
    std::string strUserInfo;
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

std::optional<SOptions> ParseOptions(const std::vector<std::string>& args)
{
    SOptions options;
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        if (i + 1 >= args.size())
            return std::nullopt;
        const std::string& name = args[i];
        const std::string& value = args[++i];
        if (name == "--station")
            options.strStation = value;
        else if (name == "--name")
            options.strName = value;
        else if (name == "--afd")
            options.strAFD = value;
        else if (name == "--ccd")
            options.strCCD = value;
        else if (name == "--user-info")
            options.strUserInfo = value;
        else if (name == "--count")
        {
            std::size_t nUsed = 0;
            options.nCount = platform::StrToLong(std::string_view(value), &nUsed);
            if (nUsed != value.size() || options.nCount < 0)
                return std::nullopt;
        }
        else
            return std::nullopt;
    }
    if (options.strStation.empty())
        return std::nullopt;
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
    const std::optional<SOptions> options = ParseOptions(args);
    if (!options)
    {
        err << "usage: ovradio-sequence --station ID [--name TEXT] [--afd TEXT] [--ccd TEXT]"
               " [--user-info TEXT] [--count N]\n";
        return 2;
    }
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
