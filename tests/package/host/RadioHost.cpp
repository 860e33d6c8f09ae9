// radio-host: a small but complete host of the radio engine. It creates the engine by its
// ProgID, shows the error information of a failed call, starts a session on a station,
// plays tracks to their end, and calls two operations late bound through IDispatch.
//
// usage: radio-host STATION [TRACKS] [--verify]
//   TRACKS    how many tracks to play (default 2)
//   --verify  compare each track with the bytes that ovradio-station synthesises
//
// Prints "host: ok" and exits 0 when everything went as expected.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ovradio/RadioEngine.h>
#include <string>
#include <vector>

namespace
{
constexpr auto kWaitLimit = std::chrono::seconds(60);

// The status callback runs on the engine's threads: it records the code and wakes the
// host's thread, which acts on it (ChangeStation, for one, fails from inside the callback).
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<LONG> g_codes;

void OnStatus(LONG nStatus, const char* pszText)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_codes.push_back(nStatus);
    if (nStatus != 6) // 6 brings the coming-up text of each track
        std::printf("status %d%s%s\n", static_cast<int>(nStatus), pszText ? ": " : "",
                    pszText ? pszText : "");
    g_changed.notify_all();
}

std::size_t CodeCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_codes.size();
}

// Waits for the engine's answer to an acknowledgement: 7 (a track is ready), 8 (the
// station has no more sequences) or 3 (it failed), received after the first `from`
// codes. 0 when none came within the limit.
LONG WaitForAnswer(std::size_t from)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    LONG answer = 0;
    g_changed.wait_for(lock, kWaitLimit,
                       [&]
                       {
                           for (std::size_t i = from; i < g_codes.size(); ++i)
                               if (g_codes[i] == 3 || g_codes[i] == 7 || g_codes[i] == 8)
                               {
                                   answer = g_codes[i];
                                   return true;
                               }
                           return false;
                       });
    return answer;
}

std::string Narrow(BSTR bstr) // the engine's texts are ASCII here
{
    std::string text;
    for (UINT i = 0; i < SysStringLen(bstr); ++i)
        text += static_cast<char>(bstr[i]);
    SysFreeString(bstr);
    return text;
}

// The engine's error code (the help context) of the call that just failed, and its
// message; prints both.
DWORD ErrorCode(const char* pszCall, HRESULT hr)
{
    DWORD dwCode = 0;
    std::string description;
    IErrorInfo* pInfo = nullptr;
    if (GetErrorInfo(0, &pInfo) == S_OK && pInfo != nullptr)
    {
        pInfo->GetHelpContext(&dwCode);
        BSTR bstr = nullptr;
        pInfo->GetDescription(&bstr);
        description = Narrow(bstr);
        pInfo->Release();
    }
    std::printf("%s failed: 0x%08X, code %u: %s", pszCall, static_cast<unsigned>(hr),
                static_cast<unsigned>(dwCode), description.c_str());
    return dwCode;
}

// Asks for the next track. Code 11 means that none is buffered yet: the host acknowledges
// with AckNotified(0) and asks again once the engine called back with 7.
bool NextTrack(IRadioEngine* engine, INT* pTrackID)
{
    while (true)
    {
        const std::size_t from = CodeCount();
        const HRESULT hr = engine->GetNextTrackID(pTrackID);
        if (SUCCEEDED(hr))
            return true;
        if (ErrorCode("GetNextTrackID", hr) != 11)
            return false;
        engine->AckNotified(0);
        const LONG answer = WaitForAnswer(from);
        if (answer != 7)
        {
            std::printf("no track: the engine answered %d\n", static_cast<int>(answer));
            return false;
        }
    }
}

// Reads the open track until RS_EOF; RS_NODATAVAILABLE means "call again".
bool ReadTrack(IRadioEngine* engine, std::string& bytes)
{
    auto lastProgress = std::chrono::steady_clock::now();
    char buffer[16384];
    while (true)
    {
        INT status = RS_EOF;
        LONG count = 0;
        const HRESULT hr =
            engine->ReadStream(sizeof buffer, reinterpret_cast<LONG_PTR>(buffer), &status, &count);
        if (FAILED(hr))
        {
            ErrorCode("ReadStream", hr);
            return false;
        }
        if (status == RS_EOF)
            return true;
        if (status == RS_OK)
        {
            bytes.append(buffer, static_cast<std::size_t>(count));
            lastProgress = std::chrono::steady_clock::now();
        }
        else if (std::chrono::steady_clock::now() - lastProgress > kWaitLimit)
        {
            std::printf("the track stalled\n");
            return false;
        }
    }
}

// Byte o of a track that ovradio-station synthesises (see docs/station.md).
char StationByte(uint32_t trackID, uint64_t o)
{
    static const unsigned char header[4] = {0xFF, 0xFB, 0x90, 0x04};
    const uint64_t salt = uint32_t(trackID * 2);
    if (o % 417 < 4)
        return static_cast<char>(header[o % 417]);
    return static_cast<char>((o * 31 + salt * 17 + o / 417) & 0xFF);
}

bool PlayTrack(IRadioEngine* engine, bool verify)
{
    INT trackID = 0;
    if (!NextTrack(engine, &trackID))
        return false;
    BSTR name = nullptr, artist = nullptr;
    engine->GetTrackName(trackID, &name);
    engine->GetArtistName(trackID, &artist);
    std::printf("track %d: \"%s\" by %s\n", trackID, Narrow(name).c_str(), Narrow(artist).c_str());

    HRESULT hr = engine->OpenStream(trackID);
    if (FAILED(hr))
    {
        ErrorCode("OpenStream", hr);
        return false;
    }
    INT bitRate = 0, size = 0;
    engine->GetStreamBitRate(&bitRate);
    engine->GetStreamTotalSizeBytes(&size);
    std::string bytes;
    const bool complete = ReadTrack(engine, bytes);
    engine->CloseStream(); // also after a failed read
    std::printf("  %d kbit/s, %zu of %d bytes read\n", bitRate, bytes.size(), size);
    if (!complete || bytes.size() != static_cast<std::size_t>(size))
        return false;
    if (verify)
        for (std::size_t o = 0; o < bytes.size(); ++o)
            if (bytes[o] != StationByte(static_cast<uint32_t>(trackID), o))
            {
                std::printf("  byte %zu differs from the station's\n", o);
                return false;
            }
    return true;
}

// Calls the operation by name through IDispatch: (INT nTrackID, out INT).
bool InvokeIdGetter(IDispatch* dispatch, const char16_t* pszName, INT trackID)
{
    std::u16string name = pszName;
    LPOLESTR names[] = {&name[0]};
    DISPID memid = DISPID_UNKNOWN;
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &memid);
    if (FAILED(hr))
        return false;
    INT value = 0;
    VARIANT args[2]; // the last argument first
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[1].vt = VT_INT;
    args[1].intVal = trackID;
    args[0].vt = VT_INT | VT_BYREF;
    args[0].pintVal = &value;
    DISPPARAMS params = {args, nullptr, 2, 0};
    hr = dispatch->Invoke(memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                          nullptr, nullptr);
    std::printf("memid %d (%s) = %d\n", static_cast<int>(memid),
                std::string(name.begin(), name.end()).c_str(), value);
    return SUCCEEDED(hr);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: radio-host STATION [TRACKS] [--verify]\n");
        return 2;
    }
    const std::u16string station(argv[1], argv[1] + std::strlen(argv[1]));
    int tracks = 2;
    bool verify = false;
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--verify") == 0)
            verify = true;
        else
            tracks = std::atoi(argv[i]);
    CoInitialize(nullptr);

    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(u"" OVRADIO_VERSION_INDEPENDENT_PROGID, &clsid);
    IRadioEngine* engine = nullptr;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IRadioEngine,
                              reinterpret_cast<void**>(&engine));
    if (FAILED(hr))
    {
        std::printf("the engine cannot be created: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }

    // A failed call: the engine's error code is the help context of the error information.
    INT trackID = 0;
    bool ok =
        ErrorCode("GetNextTrackID before StartSession", engine->GetNextTrackID(&trackID)) == 14;

    BSTR stationID = SysAllocString(station.c_str());
    BSTR name = SysAllocString(u"My station");
    BSTR format = SysAllocString(u"mp3");
    hr = engine->StartSession(stationID, name, format, nullptr, nullptr,
                              reinterpret_cast<LONG_PTR>(&OnStatus));
    SysFreeString(stationID);
    SysFreeString(name);
    SysFreeString(format);
    if (FAILED(hr))
    {
        ErrorCode("StartSession", hr);
        ok = false;
    }
    for (int i = 0; ok && i < tracks; ++i)
        ok = PlayTrack(engine, verify);

    // Late bound: the artist and album ids of the track played last.
    if (ok)
        ok = InvokeIdGetter(engine, u"GetArtistID", 0) && InvokeIdGetter(engine, u"GetAlbumID", 0);

    engine->StopSession();
    engine->Release(); // ends the session and the engine's threads
    CoUninitialize();
    if (!ok)
        return 1;
    std::printf("host: ok\n");
    return 0;
}
