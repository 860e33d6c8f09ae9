// RadioEngineObj's getters of the two records the player reads piecemeal: the stream
// format of the track opened last and the information on the track handed out last. They
// answer from the records whatever track id they are given.
#include "engine/EngineCall.h"
#include "engine/RadioEngineObj.h"

using engine::Guarded;
using engine::OutString;
using engine::OutValue;

HRESULT RadioEngineObj::GetStreamBitRate(INT* pBitRate)
{
    return OutValue(m_streamFormat.nBitRate, pBitRate);
}

HRESULT RadioEngineObj::GetStreamTotalSizeBytes(INT* pTotalSize)
{
    return OutValue(m_streamFormat.nTotalSizeBytes, pTotalSize);
}

HRESULT RadioEngineObj::GetStreamNumChannels(INT* pNumChannels)
{
    return OutValue(m_streamFormat.nNumChannels, pNumChannels);
}

HRESULT RadioEngineObj::GetStreamFrequency(LONG* pFreq)
{
    return OutValue(m_streamFormat.nFrequency, pFreq);
}

HRESULT RadioEngineObj::GetStreamFormat(BSTR* pstrTrackFormat)
{
    return Guarded("GetStreamFormat",
                   [&] { return OutString(m_streamFormat.strFormat, pstrTrackFormat); });
}

HRESULT RadioEngineObj::GetTrackName(INT, BSTR* pstrTrackName)
{
    return Guarded("GetTrackName",
                   [&] { return OutString(m_playerTrackInfo.strName, pstrTrackName); });
}

HRESULT RadioEngineObj::GetArtistName(INT, BSTR* pstrArtistName)
{
    return Guarded("GetArtistName",
                   [&] { return OutString(m_playerTrackInfo.strArtist, pstrArtistName); });
}

HRESULT RadioEngineObj::GetAlbumName(INT, BSTR* pstrAlbumName)
{
    return Guarded("GetAlbumName",
                   [&] { return OutString(m_playerTrackInfo.strAlbum, pstrAlbumName); });
}

HRESULT RadioEngineObj::GetClipUrl(INT, BSTR* pstrClipUrl)
{
    return Guarded("GetClipUrl",
                   [&] { return OutString(m_playerTrackInfo.strClipUrl, pstrClipUrl); });
}

HRESULT RadioEngineObj::GetSkippable(INT, LONG* bSkippable)
{
    return OutValue(m_playerTrackInfo.nSkippable, bSkippable);
}

HRESULT RadioEngineObj::GetDisplayDelay(INT, INT* nDelay)
{
    return OutValue(m_playerTrackInfo.nDisplayDelay, nDelay);
}

HRESULT RadioEngineObj::GetArtUrl(INT, BSTR* pstrArtUrl)
{
    return Guarded("GetArtUrl", [&] { return OutString(m_playerTrackInfo.strArtUrl, pstrArtUrl); });
}

HRESULT RadioEngineObj::GetTrackUrl(INT, BSTR* pstrTrackUrl)
{
    return Guarded("GetTrackUrl",
                   [&] { return OutString(m_playerTrackInfo.strTrackUrl, pstrTrackUrl); });
}

HRESULT RadioEngineObj::GetWebUrl(INT, BSTR* pstrWebUrl)
{
    return Guarded("GetWebUrl", [&] { return OutString(m_playerTrackInfo.strWebUrl, pstrWebUrl); });
}

HRESULT RadioEngineObj::GetText(INT, BSTR* pstrText)
{
    return Guarded("GetText", [&] { return OutString(m_playerTrackInfo.strText, pstrText); });
}

HRESULT RadioEngineObj::GetAFD(INT, BSTR* pbstrAFD)
{
    return Guarded("GetAFD", [&] { return OutString(m_playerTrackInfo.strAFD, pbstrAFD); });
}

HRESULT RadioEngineObj::GetQuality(INT, BSTR* pbstrQuality)
{
    return Guarded("GetQuality",
                   [&] { return OutString(m_playerTrackInfo.strQuality, pbstrQuality); });
}

HRESULT RadioEngineObj::GetBrowserStr(INT, BSTR* pstrBrowser)
{
    return Guarded("GetBrowserStr",
                   [&] { return OutString(m_playerTrackInfo.strBrowser, pstrBrowser); });
}

HRESULT RadioEngineObj::GetAlbumID(INT, INT* pAlbumID)
{
    return OutValue(m_playerTrackInfo.nAlbumID, pAlbumID);
}

HRESULT RadioEngineObj::GetArtistID(INT, INT* pArtistID)
{
    return OutValue(m_playerTrackInfo.nArtistID, pArtistID);
}
