// A text of the track handed out last (GetTrackName, GetArtistName, GetWebUrl, ...) as
// UTF-8. Raises CPlayError when the getter fails. On the host's thread.
#pragma once

#include "PlayError.h"
#include "platform/com/BStr.h"

#include <ovradio/RadioEngine.h>
#include <string>

inline std::string TrackText(IRadioEngine& engine, HRESULT (IRadioEngine::*pfnGetter)(INT, BSTR*),
                             INT nTrackId, const char* pszCall)
{
    platform::com::BStr text;
    Check((engine.*pfnGetter)(nTrackId, text.Out()), pszCall);
    return text.ToUtf8();
}
