#include "StreamQueue.h"

namespace
{
std::size_t BytesOf(const SStreamItem& item)
{
    return item.buffer ? gst_buffer_get_size(item.buffer.get()) : 0;
}
} // namespace

bool CStreamQueue::Push(SStreamItem item)
{
    platform::MutexLock lock(m_mutex);
    while (!m_bClosed && m_nBytes >= m_nMaxBytes)
        lock.Wait(m_changed);
    if (m_bClosed)
        return false;
    m_nBytes += BytesOf(item);
    m_items.push_back(std::move(item));
    m_changed.notify_all();
    return true;
}

std::optional<SStreamItem> CStreamQueue::Pop()
{
    platform::MutexLock lock(m_mutex);
    while (!m_bFlushing && m_items.empty())
        lock.Wait(m_changed);
    if (m_bFlushing)
        return std::nullopt;
    SStreamItem item = std::move(m_items.front());
    m_items.pop_front();
    m_nBytes -= BytesOf(item);
    m_changed.notify_all();
    return item;
}

void CStreamQueue::SetFlushing(bool bFlushing)
{
    platform::MutexLock lock(m_mutex);
    m_bFlushing = bFlushing;
    m_changed.notify_all();
}

void CStreamQueue::Close()
{
    platform::MutexLock lock(m_mutex);
    m_bClosed = true;
    m_changed.notify_all();
}
