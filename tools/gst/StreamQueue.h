// The element's hand-over between its engine thread (Push) and its streaming thread (Pop),
// bounded in bytes: the engine thread waits while the buffers queued hold the limit or
// more, so a slow pipeline never lets memory grow; other items count nothing.
// SetFlushing(true) (the element's unlock) makes every Pop return at once with nothing
// until SetFlushing(false) (unlock_stop); the flag stays set, it is no one-shot wake-up.
// Close (the element's stop) makes Push refuse from then on, so the engine thread never
// waits for a reader that is gone.
// Threads: Push on the engine thread, Pop on the streaming thread, SetFlushing and Close on
// the thread that changes the element's state. Push and Pop block as said, holding
// m_mutex only while they look; the others never block beyond m_mutex, a leaf.
#pragma once

#include "StreamItem.h"
#include "platform/Mutex.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <optional>

class CStreamQueue
{
public:
    explicit CStreamQueue(std::size_t nMaxBytes) : m_nMaxBytes(nMaxBytes) {}
    CStreamQueue(const CStreamQueue&) = delete;
    CStreamQueue& operator=(const CStreamQueue&) = delete;

    // Queues the item once the bytes queued are below the limit. False (the item dropped)
    // when the queue is closed, before or during the wait.
    bool Push(SStreamItem item) OVR_EXCLUDES(m_mutex);
    // The oldest item; waits for one. None while flushing.
    std::optional<SStreamItem> Pop() OVR_EXCLUDES(m_mutex);
    void SetFlushing(bool bFlushing) OVR_EXCLUDES(m_mutex);
    void Close() OVR_EXCLUDES(m_mutex);

private:
    const std::size_t m_nMaxBytes;
    platform::Mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<SStreamItem> m_items OVR_GUARDED_BY(m_mutex);
    std::size_t m_nBytes OVR_GUARDED_BY(m_mutex) = 0;
    bool m_bFlushing OVR_GUARDED_BY(m_mutex) = false;
    bool m_bClosed OVR_GUARDED_BY(m_mutex) = false;
};
