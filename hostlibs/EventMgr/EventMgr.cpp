// The event library's entry points and the event record.
#include "hostlibs/EventMgr.h"

#include "EventLog.h"

mcEvent::mcEvent(eEventCategory category, const char* name)
    : m_category(category), m_strName(name ? name : "")
{
}

mcEvent::~mcEvent() = default;

void mcEvent::AddParameter(const char* name, const char* value)
{
    m_listParameters.push_back({name ? name : "", std::string(value ? value : "")});
}

void mcEvent::AddParameter(const char* name, int value)
{
    m_listParameters.push_back({name ? name : "", value});
}

void mcEvent::AddParameter(const char* name, float value)
{
    m_listParameters.push_back({name ? name : "", value});
}

namespace
{
class CEventMgr final : public mcIEventMgr
{
public:
    int GetVersion() const override { return 1; }
    int PostEvent(mcEvent& event) override
    {
        m_log.Post(hostlibs::FormatEventLine(event));
        return 0;
    }
    void Flush() override { m_log.Flush(); }

    hostlibs::CEventLog& Log() { return m_log; }

private:
    hostlibs::CEventLog m_log;
};

CEventMgr& Manager()
{
    static CEventMgr s_manager;
    return s_manager;
}
} // namespace

extern "C"
{
    void InitEventMgr()
    {
        Manager().Log().Start();
    }

    void UnInitEventMgr()
    {
        Manager().Log().Stop();
    }

    mcIEventMgr* GetEventMgr()
    {
        return &Manager();
    }
}
