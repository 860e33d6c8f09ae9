// The download thread of one sequence request: it obtains the server time and the
// request's signature, sends the request (up to three times while the answer holds no
// usable track), and reads the answer block by block into track records that it appends
// to the sequence manager's list, waking the reader that waits for the first one. Every
// failure ends in one place that records it, releases that reader and reports it.
#pragma once

#include "platform/CriticalSection.h"
#include "sequence/SequenceThreadParams.h"

#include <memory>

namespace platform::http
{
class Request;
}

// g_csDownload: held while a download opens its HTTP handles, reads an answer and closes
// them, and by an abort to close them. Taken before a request's csHandles.
platform::CriticalSection& DownloadLock();
// Closes the request, the connection and the session, in that order, and clears them.
void CloseDownloadHandles(SSequenceThreadParams& params) OVR_REQUIRES(DownloadLock());

// How reading one answer ended.
enum class EAnswer
{
    eDone,      // read to its end, or stopped by an abort
    eTryAgain,  // the request is to be sent again: the answer gave no usable track
    eAbandoned, // a bad line ended the sequence after some tracks; they stay in the list
};

// The thread procedure; 0 on success, else the last error code. Holds DownloadLock() while
// it opens the handles, reads each answer and closes them; sends outside it.
unsigned DownloadSequenceProc(const std::shared_ptr<SSequenceThreadParams>& params);
// Reads and parses one answer; the caller holds DownloadLock(). An abandoned sequence sets
// bSeqAbort. A failure it does not handle itself is raised as CWorkerError.
EAnswer ProcessSequenceRequest(SSequenceThreadParams& params, platform::http::Request& request)
    OVR_REQUIRES(DownloadLock());

// The most a track line may grow the read buffer to before it counts as a bad line.
inline constexpr std::size_t kMaxTrackLineBuffer = 1024 * 1024;
