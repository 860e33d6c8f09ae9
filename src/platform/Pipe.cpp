#include "platform/Pipe.h"

#include "platform/Mutex.h"
#include "platform/detail/ByteQueue.h"
#include "platform/detail/Waiter.h"

#include <algorithm>
#include <memory>

namespace platform
{
namespace detail
{
// A byte queue with its two ends' open flags and the threads waiting on it, under one
// lock. A change wakes only the waiters it concerns: bytes in wake the readers that can
// now have what they wait for, bytes out the writers waiting for room, a close everyone.
// The queue holds memory for the bytes it holds, not for the pipe's capacity.
struct PipeBuffer
{
    explicit PipeBuffer(std::size_t size) : capacity(size), bytes(size) {}

    Mutex mutex;
    const std::size_t capacity;
    ByteQueue bytes OVR_GUARDED_BY(mutex);
    bool readOpen OVR_GUARDED_BY(mutex) = true;
    bool writeOpen OVR_GUARDED_BY(mutex) = true;
    // Read and WaitReadable, each with the bytes it waits for; Write waiting for room.
    WaiterList readers OVR_GUARDED_BY(mutex);
    WaiterList writers OVR_GUARDED_BY(mutex);

    bool BothOpen() const OVR_REQUIRES(mutex) { return writeOpen && readOpen; }
    std::size_t Count() const OVR_REQUIRES(mutex) { return bytes.Size(); }
    // A reader waiting for n bytes has what it waits for.
    bool HasFor(std::size_t n) const OVR_REQUIRES(mutex) { return Count() >= n || !BothOpen(); }

    // Removes up to n held bytes into dst and wakes the writers waiting for room.
    DWORD TakeOut(void* dst, std::size_t n) OVR_REQUIRES(mutex)
    {
        n = bytes.Take(static_cast<unsigned char*>(dst), n);
        if (n > 0)
            writers.WakeAll();
        return static_cast<DWORD>(n);
    }

    // Adds up to n bytes from src and wakes the readers that now have what they wait for.
    std::size_t CopyIn(const unsigned char* src, std::size_t n) OVR_REQUIRES(mutex)
    {
        n = std::min(n, capacity - Count());
        bytes.Push(src, n);
        const std::size_t nHeld = Count();
        if (n > 0)
            readers.WakeIf([nHeld](std::size_t nWanted) { return nHeld >= nWanted; });
        return n;
    }

    // Marks one end closed and wakes every thread waiting on the pipe.
    void CloseEnd(bool PipeBuffer::*end) OVR_EXCLUDES(mutex)
    {
        MutexLock lock(mutex);
        this->*end = false;
        readers.WakeAll();
        writers.WakeAll();
    }

    // Blocks on the waiter, listed in `list` for nWanted, until `attempt` (which takes the
    // lock itself) succeeds; true then. False when the waiter's limit passed first and
    // one last attempt failed too.
    template <class Attempt>
    bool WaitFor(Waiter& waiter, WaiterList PipeBuffer::*list, std::size_t nWanted, Attempt attempt)
        OVR_EXCLUDES(mutex)
    {
        {
            MutexLock lock(mutex);
            (this->*list).Add(waiter, nWanted);
        }
        bool bDone = attempt();
        while (!bDone && waiter.Block())
            bDone = attempt();
        if (!bDone)
            bDone = attempt();
        MutexLock lock(mutex);
        (this->*list).Remove(waiter);
        return bDone;
    }
};
} // namespace detail

std::pair<PipeReadEnd, PipeWriteEnd> CreatePipe(DWORD dwSize)
{
    auto buffer = std::make_shared<detail::PipeBuffer>(dwSize == 0 ? 4096u : dwSize);
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
    BOOL bResult = FALSE;
    // Done once there are bytes or an end is closed.
    const auto attempt = [&]
    {
        MutexLock lock(b.mutex);
        if (dwCount == 0)
        {
            bResult = b.readOpen ? TRUE : FALSE;
            return true;
        }
        if (!b.HasFor(1))
            return false;
        bResult = b.readOpen && b.Count() > 0 ? TRUE : FALSE;
        if (bResult)
        {
            const DWORD n = b.TakeOut(pBuffer, dwCount);
            if (pdwRead)
                *pdwRead = n;
        }
        return true;
    };
    if (!attempt())
    {
        detail::Waiter waiter(INFINITE);
        b.WaitFor(waiter, &detail::PipeBuffer::readers, 1, attempt);
    }
    return bResult;
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
    if (b.Count() == 0)
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
    const auto attempt = [&]
    {
        MutexLock lock(b.mutex);
        return b.HasFor(nWanted);
    };
    if (attempt())
        return WAIT_OBJECT_0;
    if (dwMilliseconds == 0)
        return WAIT_TIMEOUT;
    // Listed with the count it waits for, so that a writer wakes it only once that many
    // bytes are held (or an end is closed), not for every chunk.
    detail::Waiter waiter(dwMilliseconds);
    return b.WaitFor(waiter, &detail::PipeBuffer::readers, nWanted, attempt) ? WAIT_OBJECT_0
                                                                             : WAIT_TIMEOUT;
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
        n = b.bytes.Peek(static_cast<unsigned char*>(pBuffer), dwCount);
    if (pdwRead)
        *pdwRead = static_cast<DWORD>(n);
    if (pdwAvailable)
        *pdwAvailable = static_cast<DWORD>(b.Count());
    return TRUE;
}

void PipeReadEnd::Close()
{
    if (m_buffer)
        m_buffer->CloseEnd(&detail::PipeBuffer::readOpen);
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
    // Done for one step once some bytes went in or an end is closed.
    const auto attempt = [&]
    {
        MutexLock lock(b.mutex);
        if (b.Count() == b.capacity && b.BothOpen())
            return false;
        bOpen = b.BothOpen();
        if (bOpen)
            written += b.CopyIn(src + written, dwCount - written);
        return true;
    };
    while (bOpen && written < dwCount)
    {
        if (attempt())
            continue;
        detail::Waiter waiter(INFINITE);
        b.WaitFor(waiter, &detail::PipeBuffer::writers, 0, attempt);
    }
    if (pdwWritten)
        *pdwWritten = static_cast<DWORD>(written);
    return written == dwCount ? TRUE : FALSE;
}

void PipeWriteEnd::Close()
{
    if (m_buffer)
        m_buffer->CloseEnd(&detail::PipeBuffer::writeOpen);
}
} // namespace platform
