#include "EngineSession.h"

#include "EngineLibrary.h"
#include "PlayError.h"
#include "SessionStart.h"
#include "SessionStop.h"
#include "StatusQueue.h"
#include "StreamClose.h"
#include "TrackHandshake.h"
#include "TrackText.h"

namespace
{
// The engine's error code when a second engine object is created in the process.
constexpr DWORD kEngineExists = 3;

BufferPtr NewBuffer()
{
    return BufferPtr(gst_buffer_new_allocate(nullptr, CEngineSession::kReadSize, nullptr));
}
} // namespace

CEngineSession::CEngineSession(SSessionSettings settings) : m_settings(std::move(settings)) {}

CEngineSession::~CEngineSession()
{
    Stop();
}

void CEngineSession::Start()
{
    m_thread = std::thread([this] { Run(); });
}

void CEngineSession::Stop()
{
    m_bStop.store(true);
    m_queue.Close();
    // The engine thread may wait in the handshake for a status.
    CStatusQueue::Instance().Wake();
    if (m_thread.joinable())
        m_thread.join();
}

void CEngineSession::Run()
{
    SStreamItem failure;
    failure.eKind = SStreamItem::EKind::eError;
    try
    {
        // Released on this thread, at the end of this scope, after the session stopped.
        const platform::com::ComPtr<IRadioEngine> engine = CreateRadioEngine();
        Play(*engine.Get());
        return;
    }
    catch (const CPlayError& error)
    {
        failure.error = ErrorOf(error);
    }
    catch (const std::exception& error)
    {
        failure.error = ErrorOf(CPlayError(error.what()));
    }
    if (!Stopping())
        m_queue.Push(std::move(failure));
}

void CEngineSession::Play(IRadioEngine& engine)
{
    CStatusQueue& statuses = CStatusQueue::Instance();
    // This engine is the process's only one now: what is still queued came from an
    // earlier session, whose StopSession has returned.
    statuses.Take();
    m_eStage = EStage::eStarting;
    StartSession(engine, m_settings.strStation, m_settings.DisplayName(), m_settings.strAFD,
                 m_settings.strCCD, m_settings.strUserInfo);
    CSessionStop session(engine);
    CTrackHandshake handshake(
        engine, statuses, [this](const SEngineStatus& status) { OnStatus(status); },
        [this] { return Stopping(); });

    uint32_t nPlayed = 0;
    while (m_settings.nMaxTracks == 0 || nPlayed < m_settings.nMaxTracks)
    {
        m_eStage = EStage::eNextTrack;
        INT nTrackId = 0;
        const CTrackHandshake::ENext next = handshake.NextTrack(nTrackId);
        if (next == CTrackHandshake::ENext::eStop)
            return;
        if (next == CTrackHandshake::ENext::eStationEnded)
            break;
        if (!PlayTrack(engine, handshake, nTrackId))
            return;
        ++nPlayed;
    }
    m_queue.Push(SStreamItem{});
    m_eStage = EStage::eStopping;
    session.Stop();
}

bool CEngineSession::PlayTrack(IRadioEngine& engine, CTrackHandshake& handshake, INT nTrackId)
{
    SStreamItem start;
    start.eKind = SStreamItem::EKind::eTrackStart;
    STrackTags& tags = start.track;
    tags.strTitle = TrackText(engine, &IRadioEngine::GetTrackName, nTrackId, "GetTrackName");
    tags.strArtist = TrackText(engine, &IRadioEngine::GetArtistName, nTrackId, "GetArtistName");
    tags.strAlbum = TrackText(engine, &IRadioEngine::GetAlbumName, nTrackId, "GetAlbumName");
    tags.strWebUrl = TrackText(engine, &IRadioEngine::GetWebUrl, nTrackId, "GetWebUrl");
    tags.strStation = m_settings.DisplayName();
    m_strTrack = tags.strTitle;

    m_eStage = EStage::eReading;
    CStreamClose stream(engine);
    // OpenStream may fail after opening the stream (a track without bit rate or size).
    stream.Opened();
    Check(engine.OpenStream(nTrackId), "OpenStream");
    Check(engine.GetStreamBitRate(&tags.nBitRate), "GetStreamBitRate");
    Check(engine.GetStreamTotalSizeBytes(&tags.nSize), "GetStreamTotalSizeBytes");
    if (!m_queue.Push(std::move(start)))
        return false;

    uint64_t nBytes = 0;
    BufferPtr buffer = NewBuffer();
    while (true)
    {
        handshake.HandleStatuses();
        if (Stopping())
            return false;
        INT nStatus = RS_EOF;
        LONG nRead = 0;
        GstMapInfo map;
        if (!gst_buffer_map(buffer.get(), &map, GST_MAP_WRITE))
            throw CPlayError("a buffer for the track's bytes cannot be mapped");
        const HRESULT hr =
            engine.ReadStream(kReadSize, reinterpret_cast<LONG_PTR>(map.data), &nStatus, &nRead);
        gst_buffer_unmap(buffer.get(), &map);
        Check(hr, "ReadStream");
        if (nStatus == RS_EOF)
            break;
        // RS_NODATAVAILABLE: the engine has already paused before answering; ask again.
        if (nStatus != RS_OK || nRead <= 0)
            continue;
        gst_buffer_set_size(buffer.get(), nRead);
        if (nBytes == 0)
            GST_BUFFER_FLAG_SET(buffer.get(), GST_BUFFER_FLAG_DISCONT);
        nBytes += static_cast<uint64_t>(nRead);
        GST_BUFFER_OFFSET(buffer.get()) = m_nStreamBytes;
        m_nStreamBytes += static_cast<uint64_t>(nRead);
        GST_BUFFER_OFFSET_END(buffer.get()) = m_nStreamBytes;
        SStreamItem bytes;
        bytes.eKind = SStreamItem::EKind::eBytes;
        bytes.buffer = std::exchange(buffer, NewBuffer());
        if (!m_queue.Push(std::move(bytes)))
            return false;
    }
    if (nBytes != static_cast<uint64_t>(tags.nSize))
        throw CPlayError("the track ended after " + std::to_string(nBytes) + " of its " +
                         std::to_string(tags.nSize) + " bytes");
    stream.Close();
    return true;
}

void CEngineSession::OnStatus(const SEngineStatus& status)
{
    if (status.nCode != 6 || !status.text)
        return;
    SStreamItem comingUp;
    comingUp.eKind = SStreamItem::EKind::eComingUp;
    comingUp.strText = *status.text;
    m_queue.Push(std::move(comingUp));
}

SStreamError CEngineSession::ErrorOf(const CPlayError& error) const
{
    SStreamError out;
    out.strDebug = error.Text();
    if (error.Result() != S_OK)
    {
        out.strCall = error.what();
        out.nResult = static_cast<uint32_t>(error.Result());
        out.nEngineCode = error.HasErrorInfo() ? error.HelpContext() : 0;
        out.strDescription = error.Description();
    }
    const std::string station = "\"" + m_settings.DisplayName() + "\"";
    out.domain = GST_RESOURCE_ERROR;
    switch (m_eStage)
    {
    case EStage::eCreating:
        if (error.HasErrorInfo() && error.HelpContext() == kEngineExists)
        {
            out.nCode = GST_RESOURCE_ERROR_BUSY;
            out.strMessage = "Another radio engine plays in this process";
        }
        else
        {
            out.domain = GST_LIBRARY_ERROR;
            out.nCode = GST_LIBRARY_ERROR_INIT;
            out.strMessage = "The radio engine cannot be created (is libOVRadioEngine.so "
                             "installed and registered?)";
        }
        break;
    case EStage::eStarting:
        out.nCode = GST_RESOURCE_ERROR_OPEN_READ;
        out.strMessage = "Station " + station + " cannot be started";
        break;
    case EStage::eNextTrack:
        out.nCode = GST_RESOURCE_ERROR_NOT_FOUND;
        out.strMessage = "Station " + station + " has no track to play";
        break;
    case EStage::eReading:
        out.nCode = GST_RESOURCE_ERROR_READ;
        out.strMessage =
            "Track \"" + m_strTrack + "\" of station " + station + " could not be read to its end";
        break;
    case EStage::eStopping:
        out.nCode = GST_RESOURCE_ERROR_CLOSE;
        out.strMessage = "Station " + station + " did not stop cleanly";
        break;
    }
    return out;
}
