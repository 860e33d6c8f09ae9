// What one sequence request and its download thread share with the sequence client: the
// request's texts, the results of the sequence header and the host's status callback.
#pragma once

#include "platform/Types.h"

#include <string>

// The host's status callback: a status code and a text (may be null).
using StatusCallback = void (*)(int nCode, const char* pszText);

struct SSequenceThreadParams
{
    StatusCallback pfnStatusCallback = nullptr;
    std::string strStationId;
    std::string strDispStation;
    std::string strUrl;
    std::string strOVUID;
    std::string strLang;
    std::string strAFD;
    std::string strCCD;
    std::string strUserInfo;
    std::string strUserId;

    // Results of the sequence header.
    int nStatusCode = 200;
    int nCCDWindow = 0;
    int nCCDThresh = 0;
    int nNumCaches = 4;
    int nMinBitRate = 0;
    std::string strPreSeqBrowserScript;
    std::string strEndRadioBrowserScript;

    DWORD nSessionID = 0;
};
