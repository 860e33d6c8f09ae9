// What the engine thread hands to the element's streaming thread, in stream order: a
// track's start with its tags, the track's bytes, the coming-up text, the end of the
// stream, or an error. A value that owns its buffer.
#pragma once

#include <cstdint>
#include <gst/gst.h>
#include <memory>
#include <string>

struct SBufferUnref
{
    void operator()(GstBuffer* pBuffer) const { gst_buffer_unref(pBuffer); }
};
using BufferPtr = std::unique_ptr<GstBuffer, SBufferUnref>;

struct STrackTags
{
    std::string strTitle, strArtist, strAlbum, strWebUrl;
    std::string strStation; // the station's display name
    int32_t nBitRate = 0;   // kbit/s
    int32_t nSize = 0;      // bytes
};

// An error as the pipeline gets it: the GStreamer domain and code, a sentence for the
// person, the whole story for the debug text, and the failed call's details.
struct SStreamError
{
    GQuark domain = 0;
    gint nCode = 0;
    std::string strMessage;
    std::string strDebug;
    std::string strCall;        // empty for a failure that is no engine call's
    uint32_t nResult = 0;       // the call's HRESULT
    uint32_t nEngineCode = 0;   // the engine's error code (help context); 0 when none
    std::string strDescription; // the engine's description of the error
};

struct SStreamItem
{
    enum class EKind
    {
        eTrackStart,
        eBytes,
        eComingUp,
        eEnd,
        eError
    };

    EKind eKind = EKind::eEnd;
    STrackTags track;    // eTrackStart
    BufferPtr buffer;    // eBytes
    std::string strText; // eComingUp
    SStreamError error;  // eError
};
