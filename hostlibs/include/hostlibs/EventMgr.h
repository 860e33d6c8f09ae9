// The host application's event library (libEventMgr.so), linked by import. The engine
// builds an mcEvent on its stack, adds typed parameters in order and posts it through
// the manager that GetEventMgr() answers. PostEvent accepts calls from any number of
// threads at once; the library copies what it needs, so the record may be destroyed as
// soon as PostEvent returns.
#pragma once
#include <string>
#include <variant>
#include <vector>

// The engine uses categories 3 and 7; the library stores any value as given.
enum eEventCategory : int
{
    eEventCategoryInfo = 3,
    eEventCategoryError = 7,
};

// One event record: a category, a name and parameters in the order they were added.
// Names and values are copied, so callers may free their texts right after each call.
class mcEvent
{
public:
    using Value = std::variant<std::string, int, float>;
    struct SParameter
    {
        std::string name;
        Value value;
    };

    mcEvent(eEventCategory category, const char* name);
    virtual ~mcEvent();

    void AddParameter(const char* name, const char* value);
    void AddParameter(const char* name, int value);
    void AddParameter(const char* name, float value);

    eEventCategory Category() const { return m_category; }
    const std::string& Name() const { return m_strName; }
    const std::vector<SParameter>& Parameters() const { return m_listParameters; }

private:
    eEventCategory m_category;
    std::string m_strName;
    std::vector<SParameter> m_listParameters;
};

// The manager. PostEvent is the second virtual operation and the only one the engine
// calls; its result is informational (0 when the event was queued).
class mcIEventMgr
{
public:
    virtual int GetVersion() const = 0;
    // Any thread. Returns once the line is queued; blocks only while the log's backlog is
    // at its limit (10000 lines), or for the write itself when the writer is not started.
    virtual int PostEvent(mcEvent& event) = 0;
    // Any thread. Blocks, without limit, until every event posted before the call is in
    // the log.
    virtual void Flush() = 0;

protected:
    ~mcIEventMgr() = default;
};

extern "C"
{
    // Starts the manager; calls nest, each needs its UnInitEventMgr.
    void InitEventMgr();
    // Ends one InitEventMgr; the last one writes what is pending and stops the writer.
    void UnInitEventMgr();
    // The manager; never null (events posted outside Init/UnInit are written at once).
    mcIEventMgr* GetEventMgr();
}
