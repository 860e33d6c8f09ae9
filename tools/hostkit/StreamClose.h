// Calls CloseStream once the stream was opened, on every path out of the track. OpenStream
// may fail after opening the stream (a track without bit rate or size), so a host marks the
// stream opened before it calls OpenStream. On the host's thread.
#pragma once

#include "PlayError.h"

#include <ovradio/RadioEngine.h>

class CStreamClose
{
public:
    explicit CStreamClose(IRadioEngine& engine) : m_engine(engine) {}
    ~CStreamClose()
    {
        if (m_bOpen)
            m_engine.CloseStream();
    }
    CStreamClose(const CStreamClose&) = delete;
    CStreamClose& operator=(const CStreamClose&) = delete;

    void Opened() { m_bOpen = true; }
    // The normal end: a failing CloseStream is an error then (raises CPlayError).
    void Close()
    {
        m_bOpen = false;
        Check(m_engine.CloseStream(), "CloseStream");
    }

private:
    IRadioEngine& m_engine;
    bool m_bOpen = false;
};
