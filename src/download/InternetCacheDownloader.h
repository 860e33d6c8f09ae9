// The content source that fetches a track, or one part of a split track, from a content
// server over HTTP. A read that fails with a recoverable network error, or an answer that
// ends before the expected length, is resumed by a range request from the byte where the
// data stopped, its address extended with "&X-Range=" and a "&RETRY=" token bound to the
// user, the address's MAGIC= value and the offset. Every network read feeds the owner's
// connection-rate meter.
//
// Every byte lands at its offset or nowhere: an answer to a range request is used only
// when its 206 Content-Range starts at the offset asked for and names the part's length
// as its total, or when it is a 200 with the whole part (its Content-Length is the
// part's), whose first bytes, held already, are skipped as they arrive. Anything else
// fails the source. A 416 whose total is the offset asked for is the content's real end:
// the source ends there with every byte it has, short of the length the record announced.
//
// An outage is ridden out: the first reconnection follows the fault at once; while
// reconnections fail transiently (the connection is refused, reset or times out, the
// answer ends early or is a 5xx, 408 or 429), the next follows a pause of 250 ms doubling
// up to 4 s, half of it random, or the answer's Retry-After when that is longer (up to
// 4 s). The feeder pauses holding no lock, and an abort ends the pause at once. After
// kRecoveryLimitMs without bytes the source gives up and ends short; no reconnection starts
// once that time has passed. Refusals (401, 403, 404, 410, ...) fail the source.
//
// Threads: the feed operations run on the feeder thread under m_csInternet (released
// before ExceptionHandling sets the track cache's status, which may notify the owner, and
// while the feeder pauses between reconnections);
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
#include <optional>
#include <random>
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
    // The pause after the first failed reconnection of an outage, and the most any pause
    // is (a Retry-After included).
    static constexpr DWORD kFirstBackoffMs = 250;
    static constexpr DWORD kMaxBackoffMs = 4000;
    // The reader waits this long for data before it gives a track up as stalled ...
    static constexpr DWORD kContinueLimitMs = 40000;
    // ... so an outage is ridden out for one pause less: the reader then meets the short
    // track's end, not a stall.
    static constexpr DWORD kRecoveryLimitMs = kContinueLimitMs - kMaxBackoffMs;

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
    // Feeder. Traces under m_csInternet, then (without it) raises "TrackTruncated" for a
    // source that had its answer and ends short, sets WS_DENIED on a refusal (a failure
    // after the answer is the download thread's to set, once it has written every byte
    // that came), sets the failed flag and raises "ContentServerError".
    void ExceptionHandling(const std::string& strMessage, DWORD dwHttpStatus) override;

    // Feeder, under m_csInternet. Throws CWorkerError with the failing step's message,
    // also for an answer that does not fit the range asked for. An answer that says the
    // content ends where the range starts opens nothing to read (the content's end).
    void InternetOpenAllHandles() OVR_REQUIRES(m_csInternet);
    // Feeder, under m_csInternet: one chunk, or the first reconnection of an outage, or
    // the next one once its pause has passed (0 bytes and a pause for the feeder while the
    // outage goes on).
    void InternetReadData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot) OVR_REQUIRES(m_csInternet);
    // Feeder, under m_csInternet: reconnects from dwOffset and reads once. 0, or the
    // error number of that read. A transient failure of the reconnection is thrown as a
    // CWorkerError that TryRecovery tells apart.
    DWORD ErrorRecovery(DWORD dwOffset, void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
        OVR_REQUIRES(m_csInternet);
    // The RETRY= token for the address and offset; empty when the address has no MAGIC=.
    // Throws CWorkerError without a user identifier or with nothing after "MAGIC=".
    static std::string BuildRetryToken(const std::string& strUrl, DWORD dwOffset, DWORD dwLength);
    void SetRequestHeaders(const std::string& strHeaders) OVR_REQUIRES(m_csInternet);
    // The request header that asks for the bytes from dwOffset on ("Range: bytes=N-"); the
    // answer is then checked against that offset.
    void SetRangeFrom(DWORD dwOffset) OVR_REQUIRES(m_csInternet);
    // Any thread. Closes and drops the three handles; takes m_csHandles.
    void CloseInternetHandles();
    static BOOL IsRecoverableError(DWORD dwError);

    // Any thread.
    DWORD GetRecoveryAttempts() const { return m_dwRecoveryAttempts.load(); }
    // Whether the source has accepted an answer of its server (then a later failure is one
    // after the server's answer, not a refusal).
    BOOL IsAnswered() const { return m_bAnswered.load(); }
    DWORD GetEmptyRecoveries() const { return m_dwEmptyRecoveries.load(); }
    DWORD GetRetryLimit() const { return m_dwRetryLimit; }

    // The text every request of the process sends as its agent.
    static const std::string& AgentText();

protected:
    std::shared_ptr<platform::http::Request> CurrentRequest() const;
    void AddBytesReceived(DWORD dwBytes) { m_dwBytesReceived += dwBytes; }
    // Feeder, for a source whose content has begun (a partly cached part that connects
    // once its file runs low): opens the request as InitFeedData does, but a transient
    // failure starts an outage, which the next network read rides out. Takes m_csInternet.
    void ConnectWithinContent();

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
    // The checks of an answer to a range request from dwOffset.
    void CheckPartialAnswer(platform::http::Request& request, DWORD dwOffset)
        OVR_REQUIRES(m_csInternet);
    void CheckWholeAnswer(platform::http::Request& request, DWORD dwOffset)
        OVR_REQUIRES(m_csInternet);
    bool IsRealEnd(platform::http::Request& request, DWORD dwOffset) const;
    // Reads from the answer what follows the bytes to skip; false with dwError on a
    // failed read. Skipped bytes count in m_dwNetworkBytes.
    bool ReadAnswer(platform::http::Request& request, void* pBuffer, DWORD dwWanted, DWORD* pdwGot,
                    DWORD& dwError) OVR_REQUIRES(m_csInternet);
    bool IsRecoveryAllowed() const;
    void BeginOutage(DWORD dwPauseMs) OVR_REQUIRES(m_csInternet);
    // One reconnection of the outage under way, once its pause has passed.
    void TryRecovery(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot) OVR_REQUIRES(m_csInternet);
    // True, the outage over and the source ended short, once it has spent kRecoveryLimitMs.
    bool OutageSpentItsLimit() OVR_REQUIRES(m_csInternet);
    // The pause before the next reconnection: the backoff, jittered, or the server's
    // Retry-After when longer; never more than kMaxBackoffMs.
    DWORD NextBackoff(DWORD dwRetryAfterMs) OVR_REQUIRES(m_csInternet);
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
    // The TLS library's reason when the content server could not be trusted.
    std::string m_strTrustFailure OVR_GUARDED_BY(m_csInternet);
    const std::shared_ptr<CConnectionRateMeter> m_pRateMeter;
    std::atomic<BOOL> m_bAnswered{FALSE};
    // The offset the request's range asks from; none without a range.
    std::optional<DWORD> m_dwRangeFrom OVR_GUARDED_BY(m_csInternet);
    // Bytes at the front of the answer that are held already (a 200 to a range request).
    DWORD m_dwSkip OVR_GUARDED_BY(m_csInternet) = 0;
    // The server said the content ends at the bytes held: nothing more comes.
    bool m_bAtRealEnd OVR_GUARDED_BY(m_csInternet) = false;
    // Bytes that came over the network in this read, for the meter.
    DWORD m_dwNetworkBytes OVR_GUARDED_BY(m_csInternet) = 0;
    // The outage under way: since when, when the next reconnection is due, the next pause.
    bool m_bOutage OVR_GUARDED_BY(m_csInternet) = false;
    DWORD m_dwOutageStart OVR_GUARDED_BY(m_csInternet) = 0;
    DWORD m_dwNextAttempt OVR_GUARDED_BY(m_csInternet) = 0;
    DWORD m_dwBackoffMs OVR_GUARDED_BY(m_csInternet) = kFirstBackoffMs;
    std::minstd_rand m_jitter OVR_GUARDED_BY(m_csInternet);
};
