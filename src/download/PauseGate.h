// A paused flag and the auto-reset event that a paused thread waits on, as the download
// thread and the feeders use them: Pause sets the flag and resets the event, Resume clears
// the flag and signals the event, so each Resume releases one wait. Pause and Resume may
// come from different threads; each changes flag and event as one step under m_cs, so
// the event is signalled exactly when the last change was a Resume.
#pragma once

#include "host/TracedLock.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Types.h"

#include <atomic>

class CPauseGate
{
public:
    // Any thread; never block.
    BOOL Pause()
    {
        TracedLock lock(m_cs, "CPauseGate::Pause");
        m_bPaused = TRUE;
        m_hEvent.Reset();
        return TRUE;
    }
    BOOL Resume()
    {
        TracedLock lock(m_cs, "CPauseGate::Resume");
        m_bPaused = FALSE;
        m_hEvent.Set();
        return TRUE;
    }
    BOOL IsPaused() const { return m_bPaused.load(); }
    // Runs a decision to pause as one step with the gate's changes: a Resume either comes
    // after it or finds what it decided on already changed.
    template <typename Decision>
    void Decide(Decision decision)
    {
        TracedLock lock(m_cs, "CPauseGate::Decide");
        decision();
    }
    // The paused thread: blocks without a limit until a Resume (taking its signal).
    void WaitForResume() { m_hEvent.Wait(platform::INFINITE); }

private:
    std::atomic<BOOL> m_bPaused{FALSE};
    platform::Event m_hEvent{false, false};
    platform::CriticalSection m_cs;
};
