// What one sequence request and its download thread share with the sequence client: the
// request's texts, the results of the sequence header, the flags and event through which
// client and thread signal each other, and the request's HTTP handles. The client and
// every download thread it starts own it jointly, so a thread that outlives the client's
// wait for it never touches freed state; a client that starts a new request while such a
// thread still runs gives the new one a fresh copy (the old thread keeps its own,
// aborted).
#pragma once

#include "platform/Event.h"
#include "platform/Types.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class CTrackList;

namespace platform::http
{
class Session;
class Connection;
class Request;
} // namespace platform::http

// The host's status callback: a status code and a text (may be null).
using StatusCallback = void (*)(int nCode, const char* pszText);

inline constexpr std::size_t kTimeStampBufferSize = 256;

struct SSequenceThreadParams
{
    // The time server's time stamp text, bounded by its buffer.
    std::array<char, kTimeStampBufferSize> pszTimeStamp{};
    StatusCallback pfnStatusCallback = nullptr;
    std::string strStationId;
    std::string strDispStation;
    // The request URL as the client built it (read by other threads while the download
    // runs), and with its signature, which only the download thread writes and reads.
    std::string strUrl;
    std::string strSignedUrl;
    std::string strOVUID;
    std::string strLang;
    std::string strAFD;
    std::string strCCD;
    std::string strUserInfo;
    std::string strUserId;
    // The host application's version text and the time server's "host[:port]", which the
    // time request needs.
    std::string strVersion;
    std::string strTimeServer;

    // Results of the sequence header. The status is read by other threads without a lock.
    std::atomic<int> nStatusCode{200};
    int nCCDWindow = 0;
    int nCCDThresh = 0;
    int nNumCaches = 4;
    int nMinBitRate = 0;
    std::string strPreSeqBrowserScript;
    std::string strEndRadioBrowserScript;

    std::shared_ptr<CTrackList> pTrackList;
    // The client's flags: 1 while an abort is in force; 0 idle, 1 downloading, 2 done,
    // 3 failed; 1 when the previous sequence was abandoned part-way.
    std::atomic<int> bAbort{0};
    std::atomic<int> nDownloadStatus{0};
    std::atomic<int> bSeqAbort{0};

    // The request's HTTP handles. g_csDownload is held while they are opened and closed
    // and while an answer is read; the slots themselves change under csHandles, which is
    // held only for that, so an abort can cancel the request without waiting for a reader.
    std::mutex csHandles;
    std::shared_ptr<platform::http::Session> hInternet;
    std::shared_ptr<platform::http::Connection> hConnect;
    std::shared_ptr<platform::http::Request> hInternetRequest;

    DWORD nSessionID = 0;
    // Set when the first track of a sequence is in the list, when a download fails, and
    // on abort.
    platform::Event hTrackInfoWaitEvent{true, false};
};
