// The server's clock, learnt once per process from the time server and then carried on
// with the local tick count: GetTimeStamp gives the whole hours that sign every sequence
// request. The first caller starts the time request on a thread of its own and waits for
// it or for an abort; callers that come while it runs wait for the same result.
// Process-wide state: the time once known, the time request's handles under
// g_csTimeStamp, the abort event (set by the sequence client's Abort, reset by its
// ResetAbort) and the time-idle event (reset while a time thread runs).
#pragma once

#include "platform/Types.h"
#include "sequence/SequenceThreadParams.h"

#include <memory>

// The sequence download threads. The server time in whole hours, 0 when it is not
// available (failure or abort). Until the time is known, blocks without a limit of its
// own until the time thread has ended or the abort event is set.
DWORD GetTimeStamp(const std::shared_ptr<SSequenceThreadParams>& params);
// The time thread: fetches the session parameter file and keeps its time. Result 0.
unsigned DownloadServerTimeProc(const std::shared_ptr<SSequenceThreadParams>& params);

// Any thread (the sequence client's Abort and ResetAbort); never block.
void SignalTimeStampAbort();
void ResetTimeStampAbort();
// The sequence client's destructor: blocks without a limit until no time thread runs.
void WaitForTimeIdle();
// Forgets the server time, as a new process would not know it (for tests and tools that
// start over within one process).
void ForgetServerTime();

// Any thread: why the last time request failed when the time server could not be
// trusted (the TLS library's reason); empty otherwise.
std::string TimeFailureReason();

// The time server's "scheme://host[:port]": the preference "OVRadio"/"TimeServer" (a whole
// address "https://host:port", or a bare "host[:port]" for plain HTTP), else the scheme,
// host and port of the sequence URL.
std::string TimeServerAddress(const std::string& strSequenceUrl);
