#include "StopSignals.h"

#include "StatusQueue.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace
{
sigset_t StopSet()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}
} // namespace

CStopSignals::CStopSignals(CStatusQueue& queue)
{
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t signals = StopSet();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    m_thread = std::thread([this, &queue] { Run(queue); });
}

CStopSignals::~CStopSignals()
{
    m_bClosing = true;
    // The thread is in sigwait with SIGTERM blocked: this one reaches it alone.
    pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

void CStopSignals::Run(CStatusQueue& queue)
{
    const sigset_t signals = StopSet();
    bool bAsked = false;
    while (true)
    {
        int nSignal = 0;
        if (sigwait(&signals, &nSignal) != 0)
            continue;
        if (m_bClosing)
            return;
        if (bAsked)
            ::_exit(128 + nSignal);
        bAsked = true;
        queue.RequestStop(nSignal);
    }
}
