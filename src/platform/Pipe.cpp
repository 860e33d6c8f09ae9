#include "platform/Pipe.h"

#include "platform/Mutex.h"
#include "platform/detail/SyncCore.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>

namespace platform
{
namespace detail
{
// A ring buffer with its two ends' open flags, under one mutex.
struct PipeBuffer
{
    // The bytes are left uninitialised: only held bytes are ever read, and a large pipe
    // that a short track never fills costs neither the clearing nor the pages it never
    // touches.
    explicit PipeBuffer(DWORD size)
        : data(std::make_unique_for_overwrite<unsigned char[]>(size)), capacity(size)
    {
    }

    Mutex mutex;
    std::condition_variable changed; // bytes added or removed, or an end closed
    const std::unique_ptr<unsigned char[]> data OVR_GUARDED_BY(mutex);
    const std::size_t capacity;
    std::size_t head OVR_GUARDED_BY(mutex) = 0;  // first held byte
    std::size_t count OVR_GUARDED_BY(mutex) = 0; // bytes held
    bool readOpen OVR_GUARDED_BY(mutex) = true;
    bool writeOpen OVR_GUARDED_BY(mutex) = true;
    // Threads inside WaitReadable. They wait on the platform's sync condition (so that
    // the manual clock wakes them too), which a change then notifies as well.
    std::size_t clockWaiters OVR_GUARDED_BY(mutex) = 0;

    bool Readable() const OVR_REQUIRES(mutex) { return count > 0 || !writeOpen || !readOpen; }

    std::size_t Capacity() const { return capacity; }

    // Copies up to n held bytes, oldest first, into dst without removing them.
    std::size_t CopyOut(unsigned char* dst, std::size_t n) const OVR_REQUIRES(mutex)
    {
        n = std::min(n, count);
        const std::size_t first = std::min(n, Capacity() - head);
        std::memcpy(dst, data.get() + head, first);
        std::memcpy(dst + first, data.get(), n - first);
        return n;
    }

    void Drop(std::size_t n) OVR_REQUIRES(mutex)
    {
        head = (head + n) % Capacity();
        count -= n;
    }

    // Removes up to n held bytes into dst and wakes a writer waiting for room.
    DWORD TakeOut(void* dst, std::size_t n) OVR_REQUIRES(mutex)
    {
        n = CopyOut(static_cast<unsigned char*>(dst), n);
        Drop(n);
        changed.notify_all();
        return static_cast<DWORD>(n);
    }

    std::size_t CopyIn(const unsigned char* src, std::size_t n) OVR_REQUIRES(mutex)
    {
        n = std::min(n, Capacity() - count);
        const std::size_t tail = (head + count) % Capacity();
        const std::size_t first = std::min(n, Capacity() - tail);
        std::memcpy(data.get() + tail, src, first);
        std::memcpy(data.get(), src + first, n - first);
        count += n;
        return n;
    }
};

// Wakes the WaitReadable callers after a change. Called without the pipe's mutex: the
// waiters hold the sync mutex while they look at the pipe, so the lock order is sync
// mutex, then pipe mutex, and a change seen as "no waiter" happened before any waiter
// looked.
void WakeClockWaiters(bool bWake)
{
    if (!bWake)
        return;
    MutexLock sync(SyncMutex());
    SyncCondition().notify_all();
}

// Marks one end closed and wakes every thread waiting on the pipe.
void CloseEnd(PipeBuffer& b, bool PipeBuffer::*end)
{
    bool bWake = false;
    {
        MutexLock lock(b.mutex);
        b.*end = false;
        b.changed.notify_all();
        bWake = b.clockWaiters > 0;
    }
    WakeClockWaiters(bWake);
}
} // namespace detail

std::pair<PipeReadEnd, PipeWriteEnd> CreatePipe(DWORD dwSize)
{
    auto buffer = std::make_shared<detail::PipeBuffer>(dwSize == 0 ? 4096 : dwSize);
    return {PipeReadEnd(buffer), PipeWriteEnd(buffer)};
}

PipeReadEnd& PipeReadEnd::operator=(PipeReadEnd&& other) noexcept
{
    if (this != &other)
    {
        Close();
        m_buffer = std::move(other.m_buffer);
    }
    return *this;
}

PipeReadEnd::operator bool() const
{
    if (!m_buffer)
        return false;
    MutexLock lock(m_buffer->mutex);
    return m_buffer->readOpen;
}

BOOL PipeReadEnd::Read(void* pBuffer, DWORD dwCount, DWORD* pdwRead)
{
    if (pdwRead)
        *pdwRead = 0;
    if (!m_buffer)
        return FALSE;
    detail::PipeBuffer& b = *m_buffer;
    MutexLock lock(b.mutex);
    if (dwCount == 0)
        return b.readOpen ? TRUE : FALSE;
    while (!b.Readable())
        lock.Wait(b.changed);
    if (!b.readOpen || b.count == 0)
        return FALSE;
    const DWORD n = b.TakeOut(pBuffer, dwCount);
    if (pdwRead)
        *pdwRead = n;
    return TRUE;
}

BOOL PipeReadEnd::ReadAvailable(void* pBuffer, DWORD dwCount, DWORD* pdwRead)
{
    if (pdwRead)
        *pdwRead = 0;
    if (!m_buffer)
        return FALSE;
    detail::PipeBuffer& b = *m_buffer;
    MutexLock lock(b.mutex);
    if (!b.readOpen)
        return FALSE;
    if (b.count == 0)
        return b.writeOpen ? TRUE : FALSE;
    const DWORD n = b.TakeOut(pBuffer, dwCount);
    if (pdwRead)
        *pdwRead = n;
    return TRUE;
}

DWORD PipeReadEnd::WaitReadable(DWORD dwMilliseconds, DWORD dwMinBytes) const
{
    if (!m_buffer)
        return WAIT_OBJECT_0;
    detail::PipeBuffer& b = *m_buffer;
    const std::size_t nWanted = std::max<DWORD>(dwMinBytes, 1);
    if (!detail::ManualClockInstalled())
    {
        // On the real clock the wait is on the pipe's own condition, which every change of
        // the pipe notifies: a transfer wakes the threads that wait on this pipe only, not
        // every timed waiter of the process.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
        MutexLock lock(b.mutex);
        while (b.count < nWanted && b.writeOpen && b.readOpen)
        {
            if (dwMilliseconds == INFINITE)
                lock.Wait(b.changed);
            else if (!lock.WaitUntil(b.changed, deadline))
                break;
        }
        return b.count >= nWanted || !b.writeOpen || !b.readOpen ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    MutexLock sync(detail::SyncMutex());
    {
        MutexLock lock(b.mutex);
        ++b.clockWaiters;
    }
    const bool bReady = detail::WaitUntilReady(
        sync, dwMilliseconds,
        [&b, dwMinBytes]
        {
            MutexLock lock(b.mutex);
            return b.count >= std::max<DWORD>(dwMinBytes, 1) || !b.writeOpen || !b.readOpen;
        });
    {
        MutexLock lock(b.mutex);
        --b.clockWaiters;
    }
    return bReady ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL PipeReadEnd::Peek(void* pBuffer, DWORD dwCount, DWORD* pdwRead, DWORD* pdwAvailable) const
{
    if (pdwRead)
        *pdwRead = 0;
    if (pdwAvailable)
        *pdwAvailable = 0;
    if (!m_buffer)
        return FALSE;
    detail::PipeBuffer& b = *m_buffer;
    MutexLock lock(b.mutex);
    if (!b.readOpen)
        return FALSE;
    std::size_t n = 0;
    if (pBuffer != nullptr)
        n = b.CopyOut(static_cast<unsigned char*>(pBuffer), dwCount);
    if (pdwRead)
        *pdwRead = static_cast<DWORD>(n);
    if (pdwAvailable)
        *pdwAvailable = static_cast<DWORD>(b.count);
    return TRUE;
}

void PipeReadEnd::Close()
{
    if (m_buffer)
        detail::CloseEnd(*m_buffer, &detail::PipeBuffer::readOpen);
}

PipeWriteEnd& PipeWriteEnd::operator=(PipeWriteEnd&& other) noexcept
{
    if (this != &other)
    {
        Close();
        m_buffer = std::move(other.m_buffer);
    }
    return *this;
}

PipeWriteEnd::operator bool() const
{
    if (!m_buffer)
        return false;
    MutexLock lock(m_buffer->mutex);
    return m_buffer->writeOpen;
}

BOOL PipeWriteEnd::Write(const void* pBuffer, DWORD dwCount, DWORD* pdwWritten)
{
    if (pdwWritten)
        *pdwWritten = 0;
    if (!m_buffer)
        return FALSE;
    detail::PipeBuffer& b = *m_buffer;
    const auto* src = static_cast<const unsigned char*>(pBuffer);
    std::size_t written = 0;
    bool bOpen = true;
    while (bOpen && written < dwCount)
    {
        // The clock waiters are woken outside the pipe's lock (the sync mutex comes first).
        bool bWake = false;
        {
            MutexLock lock(b.mutex);
            while (b.count == b.Capacity() && b.readOpen && b.writeOpen)
                lock.Wait(b.changed);
            bOpen = b.readOpen && b.writeOpen;
            if (bOpen)
            {
                written += b.CopyIn(src + written, dwCount - written);
                b.changed.notify_all();
                bWake = b.clockWaiters > 0;
            }
        }
        detail::WakeClockWaiters(bWake);
    }
    if (pdwWritten)
        *pdwWritten = static_cast<DWORD>(written);
    return written == dwCount ? TRUE : FALSE;
}

void PipeWriteEnd::Close()
{
    if (m_buffer)
        detail::CloseEnd(*m_buffer, &detail::PipeBuffer::writeOpen);
}
} // namespace platform
