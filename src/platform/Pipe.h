// An anonymous pipe inside the process: a bounded byte buffer with a read end and a
// write end, as an OS pipe behaves. Write waits while the buffer is full until all bytes
// are in; Read waits while it is empty and the write end is open, then returns what is
// there up to the count; ReadAvailable and Peek never wait; WaitReadable waits, on the
// platform clock and with a limit, until there is something to read or an end is closed.
// Closing either end wakes a writer or reader waiting on the other (or the same) end. The
// buffer lives while either end object exists, so a thread inside Read or Write is safe
// while another thread closes an end; an end object itself must outlive the calls made on it.
// Threads: usually one writer and one reader, and any thread closes. Each pipe has one
// lock of its own, held while bytes are copied and let go of while a call waits; under it
// only the leaf lock of a waiting thread is taken (see detail/Waiter.h). A write wakes the
// readers that can then have what they wait for, a read the writers waiting for room, a
// close everyone waiting on the pipe; no other thread.
#pragma once

#include "platform/Types.h"

#include <memory>
#include <utility>

namespace platform
{
namespace detail
{
struct PipeBuffer;
}

class PipeWriteEnd;

class PipeReadEnd
{
public:
    PipeReadEnd() = default;
    ~PipeReadEnd() { Close(); }
    PipeReadEnd(PipeReadEnd&& other) noexcept = default;
    PipeReadEnd& operator=(PipeReadEnd&& other) noexcept;

    // True while the end has not been closed.
    explicit operator bool() const;

    // ReadFile: blocks while the pipe is empty and both ends are open, without limit.
    // FALSE with nothing read when the write end is closed and the buffer
    // drained (broken pipe), or when this end was closed. Otherwise TRUE with 1 to
    // dwCount bytes in *pdwRead.
    BOOL Read(void* pBuffer, DWORD dwCount, DWORD* pdwRead);

    // As Read, but never waits: TRUE with the 0 to dwCount bytes held right now while the
    // write end is open or bytes remain; FALSE once this end is closed, or the write end
    // is closed and the buffer drained. Two threads may drain one pipe this way without
    // either being held up by the other having taken the last byte.
    BOOL ReadAvailable(void* pBuffer, DWORD dwCount, DWORD* pdwRead);

    // Waits until the buffer holds dwMinBytes bytes (one by default) or either end is
    // closed: WAIT_OBJECT_0 then, WAIT_TIMEOUT when dwMilliseconds passed first on the
    // platform clock (a ManualClock drives it). A count beyond the buffer's size is
    // reached only by a close. Reads nothing.
    DWORD WaitReadable(DWORD dwMilliseconds, DWORD dwMinBytes = 1) const;

    // PeekNamedPipe: copies up to dwCount held bytes (pBuffer may be null) without
    // removing them; *pdwRead gets the bytes copied and *pdwAvailable the bytes held.
    // FALSE when this end is closed.
    BOOL Peek(void* pBuffer, DWORD dwCount, DWORD* pdwRead, DWORD* pdwAvailable) const;

    // Never blocks beyond the pipe's lock; wakes a writer or reader waiting in the pipe.
    void Close();

private:
    friend std::pair<PipeReadEnd, PipeWriteEnd> CreatePipe(DWORD dwSize);
    explicit PipeReadEnd(std::shared_ptr<detail::PipeBuffer> buffer) : m_buffer(std::move(buffer))
    {
    }
    std::shared_ptr<detail::PipeBuffer> m_buffer;
};

class PipeWriteEnd
{
public:
    PipeWriteEnd() = default;
    ~PipeWriteEnd() { Close(); }
    PipeWriteEnd(PipeWriteEnd&& other) noexcept = default;
    PipeWriteEnd& operator=(PipeWriteEnd&& other) noexcept;

    explicit operator bool() const;

    // WriteFile: blocks, without limit, until all dwCount bytes are in the buffer. FALSE when the
    // read end or this end is closed first; *pdwWritten then counts what went in.
    BOOL Write(const void* pBuffer, DWORD dwCount, DWORD* pdwWritten);

    // Never blocks beyond the pipe's lock; wakes a reader or writer waiting in the pipe.
    void Close();

private:
    friend std::pair<PipeReadEnd, PipeWriteEnd> CreatePipe(DWORD dwSize);
    explicit PipeWriteEnd(std::shared_ptr<detail::PipeBuffer> buffer) : m_buffer(std::move(buffer))
    {
    }
    std::shared_ptr<detail::PipeBuffer> m_buffer;
};

// A pipe holding up to dwSize bytes (0 picks 4096, as the system default).
std::pair<PipeReadEnd, PipeWriteEnd> CreatePipe(DWORD dwSize);
} // namespace platform
