// Starts the engine's session on a station with the texts a host gives (UTF-8) and the
// status callback that fills the process's status queue. Raises CPlayError when
// StartSession fails. On the host's thread.
#pragma once

#include "PlayError.h"
#include "StatusQueue.h"
#include "platform/com/BStr.h"

#include <ovradio/RadioEngine.h>
#include <string>

inline void StartSession(IRadioEngine& engine, const std::string& strStation,
                         const std::string& strName, const std::string& strAFD,
                         const std::string& strCCD, const std::string& strUserInfo)
{
    using platform::com::BStr;
    const BStr station(strStation);
    const BStr name(strName);
    const BStr afd(strAFD);
    const BStr ccd(strCCD);
    const BStr userInfo(strUserInfo);
    const OVRADIO_STATUS_CALLBACK pfnCallback = &CStatusQueue::StatusCallback;
    Check(engine.StartSession(station.Get(), name.Get(), afd.Get(), ccd.Get(), userInfo.Get(),
                              reinterpret_cast<LONG_PTR>(pfnCallback)),
          "StartSession");
}
