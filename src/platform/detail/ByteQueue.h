// A first-in first-out queue of bytes kept in blocks of at most kBlockSize, taken as
// bytes come in and let go of as they go out: the queue holds memory for the bytes it
// holds, not for the most it may hold. Full-size blocks a queue lets go of wait in a
// small pool of the process for the next queue, on whatever thread it runs: one buffer
// of the whole size was a fresh mapping for every queue, and every byte written into it
// faulted in a new page. Used by the pipe and by a request's read-ahead.
//
// Threads: none of its own; its owner guards it. Every call that adds or removes bytes,
// and the destructor, may take the pool's lock, a leaf, for a moment. Internal to the
// platform library.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

namespace platform::detail
{
class ByteQueue
{
public:
    static constexpr std::size_t kBlockSize = 64 * 1024;

    // Blocks of nBlockSize bytes (kBlockSize at most): a queue that never holds more than a
    // block's worth takes a smaller one.
    explicit ByteQueue(std::size_t nBlockSize = kBlockSize);
    ~ByteQueue();
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    std::size_t Size() const { return m_nCount; }

    // Adds n bytes from src at the back.
    void Push(const unsigned char* src, std::size_t n);
    // Copies up to n bytes, oldest first, into dst without removing them; the count copied.
    std::size_t Peek(unsigned char* dst, std::size_t n) const;
    // Removes the n oldest bytes (n at most Size()).
    void Drop(std::size_t n);
    // Peek then Drop.
    std::size_t Take(unsigned char* dst, std::size_t n);
    void Clear() { Drop(m_nCount); }

private:
    using Block = std::unique_ptr<unsigned char[]>;

    Block TakeBlock();
    void Release(Block block);

    const std::size_t m_nBlockSize;
    // The blocks holding bytes, oldest first; the first byte is at m_nHead in the front one.
    std::deque<Block> m_blocks;
    // One emptied block kept for the next bytes: a reader that keeps up with its writer
    // moves between two blocks and never asks the allocator.
    Block m_spare;
    std::size_t m_nHead = 0;
    std::size_t m_nCount = 0;
};
} // namespace platform::detail
