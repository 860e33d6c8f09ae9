#include "sequence/SequenceHeader.h"

#include "host/Preferences.h"
#include "host/Trace.h"
#include "host/WorkerError.h"
#include "sequence/ExtM3uLongFieldType.h"
#include "sequence/ExtM3uStringFieldType.h"

#include <cstdlib>
#include <ctime>

namespace
{
class HeaderReader
{
public:
    explicit HeaderReader(std::string_view block) : m_longs(block), m_strings(block)
    {
        m_longs.SetDelimiter("\n");
        m_strings.SetDelimiter("\n");
    }

    bool Long(const char* key, int& into)
    {
        LONG value = 0;
        if (!m_longs.GetLong(key, value))
            return false;
        into = value;
        return true;
    }

    template <typename T>
    void Required(const char* key, T& into, const char* error)
    {
        int value = 0;
        if (!Long(key, value))
            throw CWorkerError(error);
        into = static_cast<T>(value);
    }

    void Required(const char* key, std::atomic<int>& into, const char* error)
    {
        int value = 0;
        Required(key, value, error);
        into = value;
    }

    std::string Decoded(const char* key)
    {
        std::string value;
        if (!m_strings.GetString(key, value))
            return {};
        DecodeText(value);
        return value;
    }

private:
    CExtM3uLongFieldType m_longs;
    CExtM3uStringFieldType m_strings;
};

DWORD RandomSessionId()
{
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    return static_cast<DWORD>(std::rand() % 60000);
}
} // namespace

int ProcessSequenceCode(int nStatusCode)
{
    Trace("ProcessSequenceCode:: nStatusCode from seqsvr= %d", nStatusCode);
    switch (nStatusCode)
    {
    case 200:
    case 244:
    case 245:
    case 500:
        return nStatusCode;
    default:
        return 404;
    }
}

void ParseSequenceHeader(std::string_view block, STrackInfo& templateRec,
                         SSequenceThreadParams& params)
{
    HeaderReader header(block);

    int status = 0;
    header.Required("status_code=", status,
                    "ERROR!! No status code in the beginning of sequence\n");
    params.nStatusCode = ProcessSequenceCode(status);

    int session = 0;
    if (header.Long("session_id=", session))
        params.nSessionID = static_cast<DWORD>(session);
    else
    {
        params.nSessionID = RandomSessionId();
        Trace("Got invalid SessionID from server - setting to random - %lu", params.nSessionID);
    }

    header.Required("cachelow=", templateRec.cachelow,
                    "ERROR!! No cache low available in the beginning of sequence\n");
    header.Required("cachehigh=", templateRec.cachehigh,
                    "ERROR!! No cache high available in the beginning of sequence\n");
    header.Required("numcaches=", params.nNumCaches,
                    "ERROR!! No number of caches available in the beginning of sequence\n");
    header.Required("minbr=", params.nMinBitRate,
                    "ERROR!! No min bitrate available in the beginning of sequence\n");
    header.Required("startthresh=", templateRec.startthresh,
                    "ERROR!! No start threshold available in the beginning of sequence\n");
    int preconnect = 0;
    templateRec.minpreconnectcache =
        header.Long("minpreconnectcache=", preconnect) ? static_cast<DWORD>(preconnect) : 0;
    header.Required("ccdwindow=", params.nCCDWindow,
                    "ERROR!! No CCD WIN available in the beginning of sequence\n");
    header.Required("ccdthresh=", params.nCCDThresh,
                    "ERROR!! No CCD THRESH available in the beginning of sequence\n");
    params.strPreSeqBrowserScript = header.Decoded("presequencebrowserscript=");
    params.SetEndRadioBrowserScript(header.Decoded("endradiobrowserscript="));

    if (host::PrefSetValueUINT32("OVRadio", "SessionID", params.nSessionID) != 0)
        Trace("CServerIfc - logging SessionID to registry failed= %lu", params.nSessionID);
}

void ApplySequenceHeader(SSequenceThreadParams& params)
{
    if (!params.strPreSeqBrowserScript.empty() && params.pfnStatusCallback)
        params.pfnStatusCallback(9, params.strPreSeqBrowserScript.c_str());
    if (params.nStatusCode == 245)
    {
        if (params.pfnStatusCallback)
            params.pfnStatusCallback(10, nullptr);
        params.nStatusCode = 200;
    }
}
