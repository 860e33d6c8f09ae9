// Where answers stalled by a `hold` or `delay` rule wait, and what lets them go on: a count
// of the stalls so far and of the releases. Connection threads call Hold; tests call
// Release and WaitForHolds; the station's Stop calls Stop. All under m_mutex, briefly,
// except the waits, which release it while they wait.
#pragma once

#include "platform/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <optional>

namespace station
{
class HoldGate
{
public:
    // Counts one stall, then blocks until a Release() made after this call, `limit` (none:
    // no limit) or Stop(). False on Stop.
    bool Hold(std::optional<std::chrono::milliseconds> limit) OVR_EXCLUDES(m_mutex);
    // Lets every answer stalled at this moment go on; later stalls stay stalled.
    void Release() OVR_EXCLUDES(m_mutex);
    // Blocks until n stalls in all have begun, at most `limit`; false when the limit
    // passed or the station stopped first.
    bool WaitForHolds(uint32_t n, std::chrono::milliseconds limit) OVR_EXCLUDES(m_mutex);
    // Ends every wait, now and later.
    void Stop() OVR_EXCLUDES(m_mutex);

private:
    platform::Mutex m_mutex;
    std::condition_variable m_changed;
    uint32_t m_holds OVR_GUARDED_BY(m_mutex) = 0;
    uint64_t m_releases OVR_GUARDED_BY(m_mutex) = 0;
    bool m_stopped OVR_GUARDED_BY(m_mutex) = false;
};
} // namespace station
