// The sequence manager's list of track records, in arrival order. The download thread
// appends while a reader may wait for the first arrival holding the manager's track-list
// lock; so the list guards itself with a lock of its own that every operation holds only
// for the operation, and an append never waits for the manager's lock. Any thread; the
// list's lock is a leaf, so no operation blocks beyond another's few steps.
#pragma once

#include "platform/CriticalSection.h"
#include "sequence/TrackInfo.h"

#include <cstddef>
#include <deque>
#include <string>

class CTrackList
{
public:
    // Appends a copy; the list's size afterwards.
    std::size_t Append(const STrackInfo& rec) OVR_EXCLUDES(m_cs);
    // Moves the front record into out; false when the list is empty.
    bool PopFront(STrackInfo& out) OVR_EXCLUDES(m_cs);
    // The front record's nextdisplay text, or "no" when the list is empty.
    std::string FrontNextDisplay() const OVR_EXCLUDES(m_cs);
    bool Empty() const OVR_EXCLUDES(m_cs);
    std::size_t Size() const OVR_EXCLUDES(m_cs);
    // pszLabel names the caller in the lock trace.
    void Clear(const char* pszLabel) OVR_EXCLUDES(m_cs);

private:
    mutable platform::CriticalSection m_cs;
    std::deque<STrackInfo> m_list OVR_GUARDED_BY(m_cs);
};
