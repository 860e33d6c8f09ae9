#include "host/TracedLock.h"

#include "host/Trace.h"

#include <cstdint>

TracedLock::TracedLock(platform::CriticalSection& cs, const char* pszLabel, int nTraceEntry)
    : m_cs(cs)
{
    m_cs.Enter();
    if (nTraceEntry == 1)
    {
        // The viewer shows the address's low 32 bits, enough to tell locks apart.
        auto dwAddress = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(&m_cs));
        Trace("Entered CriticalSection - %s(%08x)", pszLabel ? pszLabel : "", dwAddress);
    }
}

TracedLock::~TracedLock()
{
    m_cs.Leave();
}
