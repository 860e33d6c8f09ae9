#include "sequence/TrackList.h"

#include "host/TracedLock.h"

std::size_t CTrackList::Append(const STrackInfo& rec)
{
    TracedLock lock(m_cs);
    m_list.push_back(rec);
    return m_list.size();
}

bool CTrackList::PopFront(STrackInfo& out)
{
    TracedLock lock(m_cs);
    if (m_list.empty())
        return false;
    out = std::move(m_list.front());
    m_list.pop_front();
    return true;
}

std::string CTrackList::FrontNextDisplay() const
{
    TracedLock lock(m_cs);
    return m_list.empty() ? std::string("no") : m_list.front().nextdisplay;
}

bool CTrackList::Empty() const
{
    TracedLock lock(m_cs);
    return m_list.empty();
}

std::size_t CTrackList::Size() const
{
    TracedLock lock(m_cs);
    return m_list.size();
}

void CTrackList::Clear(const char* pszLabel)
{
    TracedLock lock(m_cs, pszLabel);
    m_list.clear();
}
