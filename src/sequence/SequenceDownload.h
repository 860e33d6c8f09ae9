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

// Held while a download opens its HTTP handles, reads an answer and closes them.
platform::CriticalSection& DownloadLock();
// Closes the request, the connection and the session, in that order, and clears them.
// The caller holds DownloadLock().
void CloseDownloadHandles(SSequenceThreadParams& params);

// The thread procedure; 0 on success, else the last error code.
unsigned DownloadSequenceProc(const std::shared_ptr<SSequenceThreadParams>& params);
// Reads and parses one answer: 1 when the request should be sent again, else 0. A failure
// it does not handle itself is raised as CWorkerError.
int ProcessSequenceRequest(SSequenceThreadParams& params, platform::http::Request& request);

// The most a track line may grow the read buffer to before it counts as a bad line.
inline constexpr std::size_t kMaxTrackLineBuffer = 1024 * 1024;
