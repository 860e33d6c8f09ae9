#include "platform/detail/ByteQueue.h"

#include "platform/Mutex.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform::detail
{
namespace
{
// Full-size blocks let go of by any queue of the process, kept for the next queue that
// needs one. A track's bytes pass through several queues on threads that come and go
// with the track; each new thread's allocator arena served them from fresh pages, and
// every page faulted in again. At most kKept blocks wait here, so an idle process keeps
// no more than that.
class BlockPool
{
public:
    static constexpr std::size_t kKept = 32;

    std::unique_ptr<unsigned char[]> Take() OVR_EXCLUDES(m_mutex)
    {
        {
            MutexLock lock(m_mutex);
            if (!m_blocks.empty())
            {
                auto block = std::move(m_blocks.back());
                m_blocks.pop_back();
                return block;
            }
        }
        return std::make_unique_for_overwrite<unsigned char[]>(ByteQueue::kBlockSize);
    }

    // A block beyond the kept ones is freed, outside the lock.
    void Give(std::unique_ptr<unsigned char[]> block) OVR_EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        if (m_blocks.size() < kKept)
            m_blocks.push_back(std::move(block));
    }

private:
    Mutex m_mutex; // a leaf: nothing is taken under it
    std::vector<std::unique_ptr<unsigned char[]>> m_blocks OVR_GUARDED_BY(m_mutex);
};

// Never destroyed: a queue may let go of its blocks while the process exits.
BlockPool& Pool()
{
    static BlockPool& pool = *new BlockPool;
    return pool;
}
} // namespace

ByteQueue::ByteQueue(std::size_t nBlockSize)
    : m_nBlockSize(std::clamp<std::size_t>(nBlockSize, 1, kBlockSize))
{
}

void ByteQueue::Push(const unsigned char* src, std::size_t n)
{
    std::size_t nTail = m_nHead + m_nCount;
    for (std::size_t nDone = 0; nDone < n;)
    {
        const std::size_t nOffset = nTail % m_nBlockSize;
        if (nTail / m_nBlockSize == m_blocks.size())
            m_blocks.push_back(TakeBlock());
        const std::size_t k = std::min(n - nDone, m_nBlockSize - nOffset);
        std::memcpy(m_blocks[nTail / m_nBlockSize].get() + nOffset, src + nDone, k);
        nDone += k;
        nTail += k;
    }
    m_nCount += n;
}

std::size_t ByteQueue::Peek(unsigned char* dst, std::size_t n) const
{
    n = std::min(n, m_nCount);
    std::size_t nOffset = m_nHead;
    for (std::size_t nDone = 0, i = 0; nDone < n; ++i, nOffset = 0)
    {
        const std::size_t k = std::min(n - nDone, m_nBlockSize - nOffset);
        std::memcpy(dst + nDone, m_blocks[i].get() + nOffset, k);
        nDone += k;
    }
    return n;
}

// The blocks the bytes emptied go; an emptied queue starts again at the front of a block.
void ByteQueue::Drop(std::size_t n)
{
    m_nCount -= n;
    m_nHead += n;
    while (!m_blocks.empty() && (m_nHead >= m_nBlockSize || m_nCount == 0))
    {
        Release(std::move(m_blocks.front()));
        m_blocks.pop_front();
        m_nHead = m_nCount == 0 ? 0 : m_nHead - m_nBlockSize;
    }
}

std::size_t ByteQueue::Take(unsigned char* dst, std::size_t n)
{
    n = Peek(dst, n);
    Drop(n);
    return n;
}

ByteQueue::~ByteQueue()
{
    Clear();
    if (m_spare && m_nBlockSize == kBlockSize)
        Pool().Give(std::move(m_spare));
}

// A block's bytes are left uninitialised: only bytes pushed are ever read. Full-size
// blocks come from the process's pool.
ByteQueue::Block ByteQueue::TakeBlock()
{
    if (m_spare)
        return std::move(m_spare);
    if (m_nBlockSize == kBlockSize)
        return Pool().Take();
    return std::make_unique_for_overwrite<unsigned char[]>(m_nBlockSize);
}

// The first block let go of is kept as the spare; a full-size one beyond it goes to the
// pool, a smaller one is freed.
void ByteQueue::Release(Block block)
{
    if (!m_spare)
        m_spare = std::move(block);
    else if (m_nBlockSize == kBlockSize)
        Pool().Give(std::move(block));
}
} // namespace platform::detail
