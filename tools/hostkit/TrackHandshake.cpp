#include "TrackHandshake.h"

#include "PlayError.h"
#include "platform/Clock.h"

#include <string>

namespace
{
// The engine's error code when it has no track ready yet.
constexpr DWORD kNoTrackYet = 11;
} // namespace

CTrackHandshake::CTrackHandshake(IRadioEngine& engine, CStatusQueue& queue, StatusHandler onStatus,
                                 StopTest stopping)
    : m_engine(engine), m_queue(queue), m_onStatus(std::move(onStatus)),
      m_stopping(std::move(stopping))
{
}

CTrackHandshake::ENext CTrackHandshake::NextTrack(INT& nTrackId)
{
    int nUnanswered = 0;
    while (true)
    {
        HandleStatuses();
        if (Stopping())
            return ENext::eStop;
        const HRESULT hr = m_engine.GetNextTrackID(&nTrackId);
        if (SUCCEEDED(hr))
            return ENext::eTrack;
        CPlayError error("GetNextTrackID", hr);
        if (!error.HasErrorInfo() || error.HelpContext() != kNoTrackYet)
            throw error;

        m_nAnswer = 0;
        Check(m_engine.AckNotified(0), "AckNotified");
        const DWORD dwDeadline = platform::GetTickCount() + kReaskMs;
        while (m_nAnswer == 0 && !Stopping() &&
               static_cast<LONG>(dwDeadline - platform::GetTickCount()) > 0)
        {
            m_queue.WaitUntil(dwDeadline);
            HandleStatuses();
        }
        if (Stopping())
            return ENext::eStop;
        switch (m_nAnswer)
        {
        case 7:
        case 8:
            nUnanswered = 0;
            break;
        case 3:
            if (m_bEndAnnounced)
                return ENext::eStationEnded;
            error.Explain("the engine answered with status 3: it could not buffer a track");
            throw error;
        default:
            if (++nUnanswered == kTries)
            {
                error.Explain("no status came within " + std::to_string(kReaskMs / 1000) +
                              " s of any of " + std::to_string(kTries) + " tries");
                throw error;
            }
        }
    }
}

void CTrackHandshake::WaitUntil(DWORD dwDeadline)
{
    while (!Stopping() && static_cast<LONG>(dwDeadline - platform::GetTickCount()) > 0)
    {
        m_queue.WaitUntil(dwDeadline);
        HandleStatuses();
    }
}

void CTrackHandshake::HandleStatuses()
{
    for (const SEngineStatus& status : m_queue.Take())
    {
        if (status.nCode == 3 || status.nCode == 7 || status.nCode == 8)
            m_nAnswer = status.nCode;
        if (status.nCode == 8)
            m_bEndAnnounced = true;
        m_onStatus(status);
    }
}
