// The sequence manager's list of track records, in arrival order. The download thread
// appends while a reader may wait for the first arrival holding the manager's track-list
// lock; so the list guards itself with a lock of its own that every operation holds only
// for the operation, and an append never waits for the manager's lock.
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
    std::size_t Append(const STrackInfo& rec);
    // Moves the front record into out; false when the list is empty.
    bool PopFront(STrackInfo& out);
    // The front record's nextdisplay text, or "no" when the list is empty.
    std::string FrontNextDisplay() const;
    bool Empty() const;
    std::size_t Size() const;
    // pszLabel names the caller in the lock trace.
    void Clear(const char* pszLabel);

private:
    mutable platform::CriticalSection m_cs;
    std::deque<STrackInfo> m_list;
};
