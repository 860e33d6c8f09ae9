// Calls StopSession when the session's scope ends, on every path out of it. On the host's
// thread, which started the session.
#pragma once

#include "PlayError.h"

#include <ovradio/RadioEngine.h>

class CSessionStop
{
public:
    explicit CSessionStop(IRadioEngine& engine) : m_engine(engine) {}
    ~CSessionStop()
    {
        if (m_bActive)
            m_engine.StopSession();
    }
    CSessionStop(const CSessionStop&) = delete;
    CSessionStop& operator=(const CSessionStop&) = delete;

    // The normal end: a failing StopSession is an error then (raises CPlayError).
    void Stop()
    {
        m_bActive = false;
        Check(m_engine.StopSession(), "StopSession");
    }

private:
    IRadioEngine& m_engine;
    bool m_bActive = true;
};
