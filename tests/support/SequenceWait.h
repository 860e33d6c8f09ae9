// Bounded forms of the sequence manager's waits, which have no limit of their own: a test
// that would wait forever for a track or for the download's end fails instead, naming it.
#pragma once

#include "platform/Types.h"
#include "sequence/RadioSequenceMgr.h"
#include "support/Wait.h"

namespace testsupport
{
// GetNextTrack, which blocks until a sequence has come, within the limit.
inline BOOL NextTrack(CRadioSequenceMgr& mgr, STrackInfo& rec,
                      testsupport::SCallSite where = {__builtin_FILE(), __builtin_LINE()})
{
    return Within(
        "a track from the sequence manager", [&] { return mgr.GetNextTrack(rec); }, kWaitLimitMs,
        where);
}

// Blocks until the sequence download thread has ended, within the limit; true then.
inline bool DownloadEnded(CRadioSequenceMgr& mgr,
                          testsupport::SCallSite where = {__builtin_FILE(), __builtin_LINE()})
{
    return Within(
        "the sequence download to end",
        [&] { return mgr.ServerIfc().WaitForDownloadEnd(kWaitLimitMs); }, kWaitLimitMs, where);
}
} // namespace testsupport
