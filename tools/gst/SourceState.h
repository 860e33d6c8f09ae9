// The element's state across its threads: the settings its properties and address set,
// and the running session. Settings change only while no session runs (NULL and READY);
// Start makes a session of a copy of them and Stop ends it. The streaming thread gets the
// session through Session(), a shared reference, so a session never goes while a thread
// still uses its queue.
// Threads: the application's (properties, address), the state-changing thread (Start,
// Stop, Unlock, UnlockStop), the streaming thread (Session). m_mutex is a leaf held for a
// few statements; Stop lets go of it before it waits for the engine thread.
#pragma once

#include "EngineSession.h"
#include "SessionSettings.h"
#include "platform/Mutex.h"

#include <functional>
#include <memory>
#include <string>

class CSourceState
{
public:
    // A copy of the settings.
    SSessionSettings Settings() const OVR_EXCLUDES(m_mutex);
    // Changes the settings unless a session runs; false then.
    bool ChangeSettings(const std::function<void(SSessionSettings&)>& change) OVR_EXCLUDES(m_mutex);
    // As ChangeSettings, for a change that may be refused: the change returns what is
    // wrong (empty when it was made). Returns that, or why no change is possible now.
    std::string TryChangeSettings(const std::function<std::string(SSessionSettings&)>& change)
        OVR_EXCLUDES(m_mutex);

    // Starts a session of the settings. Throws std::system_error when the engine thread
    // cannot start.
    void Start() OVR_EXCLUDES(m_mutex);
    // Ends the session, waiting for its engine thread.
    void Stop() OVR_EXCLUDES(m_mutex);
    // The element's unlock and unlock_stop: the session's queue flushes, or no longer.
    void SetFlushing(bool bFlushing) OVR_EXCLUDES(m_mutex);
    std::shared_ptr<CEngineSession> Session() const OVR_EXCLUDES(m_mutex);

private:
    mutable platform::Mutex m_mutex;
    SSessionSettings m_settings OVR_GUARDED_BY(m_mutex);
    std::shared_ptr<CEngineSession> m_session OVR_GUARDED_BY(m_mutex);
};
