#include "SourceState.h"

SSessionSettings CSourceState::Settings() const
{
    platform::MutexLock lock(m_mutex);
    return m_settings;
}

bool CSourceState::ChangeSettings(const std::function<void(SSessionSettings&)>& change)
{
    return TryChangeSettings(
               [&change](SSessionSettings& settings)
               {
                   change(settings);
                   return std::string();
               })
        .empty();
}

std::string
CSourceState::TryChangeSettings(const std::function<std::string(SSessionSettings&)>& change)
{
    platform::MutexLock lock(m_mutex);
    if (m_session)
        return "the element plays: its settings change only in the NULL and READY states";
    return change(m_settings);
}

void CSourceState::Start()
{
    auto session = std::make_shared<CEngineSession>(Settings());
    session->Start();
    platform::MutexLock lock(m_mutex);
    m_session = std::move(session);
}

void CSourceState::Stop()
{
    std::shared_ptr<CEngineSession> session;
    {
        platform::MutexLock lock(m_mutex);
        session = std::move(m_session);
    }
    if (session)
        session->Stop();
}

void CSourceState::SetFlushing(bool bFlushing)
{
    if (const std::shared_ptr<CEngineSession> session = Session())
        session->Queue().SetFlushing(bFlushing);
}

std::shared_ptr<CEngineSession> CSourceState::Session() const
{
    platform::MutexLock lock(m_mutex);
    return m_session;
}
