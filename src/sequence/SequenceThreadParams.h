// What one sequence request and its download thread share with the sequence client: the
// request's texts, the results of the sequence header, the flags and event through which
// client and thread signal each other, and the request's HTTP handles. The client and
// every download thread it starts own it jointly, so a thread that outlives the client's
// wait for it never touches freed state; a client that starts a new request while such a
// thread still runs gives the new one a fresh copy (the old thread keeps its own,
// aborted).
#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Types.h"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

class CTrackList;

namespace platform::http
{
class Session;
class Connection;
class Request;
} // namespace platform::http

// Where the download of a request stands (the client's download status, 0 to 3).
enum class EDownloadStatus : int
{
    eIdle = 0,        // a request is prepared; its thread has not begun
    eDownloading = 1, // the thread is sending or reading
    eDone = 2,        // ended normally, also when stopped by an abort
    eFailed = 3,      // ended in the failure step
};

// Where status codes go: a status code and a text (may be null). The stream manager hands
// in a forwarder that it can close, so a download thread that outlives the session calls
// nothing of the host's; a plain function of the host's serves as well.
using StatusCallback = std::function<void(int nCode, const char* pszText)>;

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
    // The host application's version text and the time server's "scheme://host[:port]",
    // which the time request needs.
    std::string strVersion;
    std::string strTimeServer;

    // Results of the sequence header. The numbers are read by other threads without a
    // lock while the next sequence's header may be parsed; the end script is copied under
    // its own leaf lock.
    std::atomic<int> nStatusCode{200};
    std::atomic<int> nCCDWindow{0};
    std::atomic<int> nCCDThresh{0};
    std::atomic<int> nNumCaches{4};
    std::atomic<int> nMinBitRate{0};
    std::string strPreSeqBrowserScript;

    std::string EndRadioBrowserScript() const
    {
        platform::MutexLock lock(csEndScript);
        return strEndRadioBrowserScript;
    }
    void SetEndRadioBrowserScript(std::string strScript)
    {
        platform::MutexLock lock(csEndScript);
        strEndRadioBrowserScript = std::move(strScript);
    }
    // Why the request failed when a server could not be trusted (for the host's status
    // 3); empty otherwise. Written by the download thread, read by any.
    std::string FailureReason() const
    {
        platform::MutexLock lock(csEndScript);
        return strFailureReason;
    }
    void SetFailureReason(std::string strReason)
    {
        platform::MutexLock lock(csEndScript);
        strFailureReason = std::move(strReason);
    }

    std::shared_ptr<CTrackList> pTrackList;
    // The client's flags: 1 while an abort is in force; the download status; 1 when the
    // previous sequence was abandoned part-way.
    std::atomic<int> bAbort{0};
    std::atomic<EDownloadStatus> nDownloadStatus{EDownloadStatus::eIdle};
    std::atomic<int> bSeqAbort{0};

    // The request's HTTP handles. g_csDownload is held while they are opened and closed
    // and while an answer is read; the slots themselves change under csHandles, which is
    // held only for that (a leaf), so an abort can cancel the request without waiting for
    // a reader.
    platform::Mutex csHandles;
    std::shared_ptr<platform::http::Session> hInternet OVR_GUARDED_BY(csHandles);
    std::shared_ptr<platform::http::Connection> hConnect OVR_GUARDED_BY(csHandles);
    std::shared_ptr<platform::http::Request> hInternetRequest OVR_GUARDED_BY(csHandles);

    DWORD nSessionID = 0;

private:
    // Guards the two texts that other threads read while a download runs.
    mutable platform::Mutex csEndScript;
    std::string strEndRadioBrowserScript OVR_GUARDED_BY(csEndScript);
    std::string strFailureReason OVR_GUARDED_BY(csEndScript);

public:
    // Set when the first track of a sequence is in the list, when a download fails, and
    // on abort.
    platform::Event hTrackInfoWaitEvent{true, false};
};
