// One run of the element: the engine thread, which creates the radio engine, starts the
// session, plays the station track by track with the status handshake, and stops the
// session and releases the engine, all on itself, as the engine wants every call from the
// thread that created it. What it plays goes to the stream queue in stream order: each
// track's start with its tags, its bytes (the first buffer of each track marked
// DISCONT), the coming-up texts, then the end of the stream (the station's end or the
// track count reached) or an error. The status callback only queues (CStatusQueue); the
// engine thread takes the statuses between its calls.
// Threads: the element's state-changing thread creates, starts, stops and destroys the
// session; the streaming thread pops the queue (Queue() is safe from any thread); the
// engine thread is the session's own. Stop blocks until the engine thread has ended: at
// most one ReadStream pause (half a second) and the engine's StopSession.
#pragma once

#include "SessionSettings.h"
#include "StreamQueue.h"

#include <atomic>
#include <cstddef>
#include <ovradio/RadioEngine.h>
#include <string>
#include <thread>

class CTrackHandshake;
struct SEngineStatus;
class CPlayError;

class CEngineSession
{
public:
    // Bytes the queue holds before the engine thread waits, and asked for by each read.
    static constexpr std::size_t kQueueBytes = 256 * 1024;
    static constexpr LONG kReadSize = 16384;

    explicit CEngineSession(SSessionSettings settings);
    // Stops the engine thread first.
    ~CEngineSession();
    CEngineSession(const CEngineSession&) = delete;
    CEngineSession& operator=(const CEngineSession&) = delete;

    // Starts the engine thread. Throws std::system_error when no thread can start.
    void Start();
    // Asks the engine thread to end the session and waits until it has ended. Items
    // still queued stay there; nothing is queued after.
    void Stop();
    CStreamQueue& Queue() { return m_queue; }

private:
    // Where the run is: what a failure means for the pipeline.
    enum class EStage
    {
        eCreating,
        eStarting,
        eNextTrack,
        eReading,
        eStopping
    };

    void Run();
    void Play(IRadioEngine& engine);
    // False when a stop came during the track.
    bool PlayTrack(IRadioEngine& engine, CTrackHandshake& handshake, INT nTrackId);
    void OnStatus(const SEngineStatus& status);
    SStreamError ErrorOf(const CPlayError& error) const;
    bool Stopping() const { return m_bStop.load(); }

    const SSessionSettings m_settings;
    CStreamQueue m_queue{kQueueBytes};
    std::atomic<bool> m_bStop{false};
    // Engine thread only.
    EStage m_eStage = EStage::eCreating;
    std::string m_strTrack;      // the title of the track being read
    uint64_t m_nStreamBytes = 0; // the stream's bytes so far: the next buffer's offset
    std::thread m_thread;
};
