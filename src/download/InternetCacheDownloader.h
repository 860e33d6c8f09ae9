// The content source that fetches a track, or one part of a split track, from a content
// server over HTTP. A read that fails with a recoverable network error, or an answer that
// ends before the expected length, is resumed by a range request from the byte where the
// data stopped, its address extended with "&X-Range=" and a "&RETRY=" token bound to the
// user, the address's MAGIC= value and the offset. Every network read feeds the owner's
// connection-rate meter.
//
// Threads: the feed operations run on the feeder thread under m_csInternet (released
// before ExceptionHandling sets the track cache's status, which may notify the owner);
// Abort comes from the track cache's owner's threads without it. The HTTP handles sit in slots
// under m_csHandles, which is held only to store, take or close them: Abort closes whatever the
// slots hold (a Send or Read under way returns at once; the objects stay valid for the
// thread inside them through its own reference), and a request opened after the abort
// flag is set is closed by its opener at once.
#pragma once

#include "download/CacheDownloader.h"
#include "platform/CriticalSection.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <memory>
#include <string>

class CConnectionRateMeter;

namespace platform::http
{
class Session;
class Connection;
class Request;
} // namespace platform::http

class mcInternetCacheDownloader : public mcCacheDownloader
{
public:
    static constexpr DWORD kRetryTokenLength = 7;
    static constexpr int kRecoveryTries = 3;

    // The chunk, marks and pipe size go to the base. The rate meter is taken from the
    // track cache's owner and kept for the source's life.
    mcInternetCacheDownloader(const std::string& strUrl, DWORD dwContentLength,
                              CTrackCache* pTrackCache, DWORD dwRetryLimit, DWORD dwChunkSize,
                              DWORD dwLowWater, DWORD dwHighWater, DWORD dwPipeSize);
    ~mcInternetCacheDownloader() override;

    // Any thread but the feeder. Sets the abort flag, closes the HTTP handles (a Send or
    // Read under way returns at once), then the base step: blocks up to 5000 ms for the
    // feeder to end. Takes m_csHandles briefly, never m_csInternet.
    BOOL Abort() override;
    // Feeder. Open the request and wait for its answer's head (InitFeedData), read one
    // chunk with its recoveries (FeedData), close and report (UnInitFeedData): each under
    // m_csInternet, blocking as long as the server takes (the HTTP layer's time-outs).
    void InitFeedData() override;
    void FeedData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot) override;
    void UnInitFeedData() override;
    DWORD GetBytesReceived() const override;
    DWORD GetContentLength() const override;
    // Feeder. Traces under m_csInternet, then (without it) sets the track cache's status,
    // which may notify the cache's owner, and raises "ContentServerError".
    void ExceptionHandling(const std::string& strMessage, DWORD dwHttpStatus) override;

    // Feeder, under m_csInternet. Throws CWorkerError with the failing step's message.
    void InternetOpenAllHandles() OVR_REQUIRES(m_csInternet);
    // Feeder, under m_csInternet: one chunk, with up to three recoveries.
    void InternetReadData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot) OVR_REQUIRES(m_csInternet);
    // Feeder, under m_csInternet: reconnects from dwOffset and reads once. 0, or the
    // error number of that read.
    DWORD ErrorRecovery(DWORD dwOffset, void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
        OVR_REQUIRES(m_csInternet);
    // The RETRY= token for the address and offset; empty when the address has no MAGIC=.
    // Throws CWorkerError without a user identifier or with nothing after "MAGIC=".
    static std::string BuildRetryToken(const std::string& strUrl, DWORD dwOffset, DWORD dwLength);
    void SetRequestHeaders(const std::string& strHeaders) OVR_REQUIRES(m_csInternet);
    // Any thread. Closes and drops the three handles; takes m_csHandles.
    void CloseInternetHandles();
    static BOOL IsRecoverableError(DWORD dwError);

    // Any thread.
    DWORD GetRecoveryAttempts() const { return m_dwRecoveryAttempts.load(); }
    DWORD GetEmptyRecoveries() const { return m_dwEmptyRecoveries.load(); }
    DWORD GetRetryLimit() const { return m_dwRetryLimit; }

    // The text every request of the process sends as its agent.
    static const std::string& AgentText();

protected:
    std::shared_ptr<platform::http::Request> CurrentRequest() const;
    void AddBytesReceived(DWORD dwBytes) { m_dwBytesReceived += dwBytes; }

    platform::CriticalSection m_csInternet;
    std::string m_strUrl OVR_GUARDED_BY(m_csInternet);
    const std::string m_strTrackName;
    std::string m_strHeaders OVR_GUARDED_BY(m_csInternet);

private:
    void StoreHandles(std::shared_ptr<platform::http::Session> session,
                      std::shared_ptr<platform::http::Connection> connect,
                      std::shared_ptr<platform::http::Request> request);
    void SendRequest(platform::http::Request& request) OVR_REQUIRES(m_csInternet);
    void CheckStatus(platform::http::Request& request) OVR_REQUIRES(m_csInternet);
    void TryRecoveries(DWORD dwError, void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
        OVR_REQUIRES(m_csInternet);
    void ReportTruncation();

    mutable platform::CriticalSection m_csHandles OVR_ACQUIRED_AFTER(m_csInternet);
    std::shared_ptr<platform::http::Session> m_hInternet OVR_GUARDED_BY(m_csHandles);
    std::shared_ptr<platform::http::Connection> m_hConnect OVR_GUARDED_BY(m_csHandles);
    std::shared_ptr<platform::http::Request> m_hInternetRequest OVR_GUARDED_BY(m_csHandles);
    std::atomic<DWORD> m_dwBytesReceived{0};
    const DWORD m_dwContentLength;
    std::atomic<DWORD> m_dwRecoveryAttempts{0};
    std::atomic<DWORD> m_dwEmptyRecoveries{0};
    const DWORD m_dwRetryLimit;
    // The status line of the last answer, for the failure report.
    std::string m_strLastResponse OVR_GUARDED_BY(m_csInternet);
    const std::shared_ptr<CConnectionRateMeter> m_pRateMeter;
};
