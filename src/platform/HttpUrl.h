// URL checking and splitting on curl's URL parser, for callers that take a server
// address apart into what a Connection and a Request need. Stateless; any thread.
#pragma once

#include "platform/Types.h"

#include <string>

namespace platform::http
{
struct UrlParts
{
    std::string strScheme;
    std::string strHost;
    WORD nPort = 0; // the scheme's default port when the URL gives none; 0 if it has none
    std::string strPathWithQuery; // from the first '/' of the path, with "?query" if any
};

// Splits an absolute URL. False for a URL the parser rejects (no scheme, no host, bad
// port, control characters...); the parts are then left as they were.
bool CrackUrl(const std::string& strUrl, UrlParts& parts);

// The URL in the parser's normalised form (scheme in lower case, a bare host
// given the path "/"). False for a URL the parser rejects.
bool CanonicalizeUrl(const std::string& strUrl, std::string& strCanonical);
} // namespace platform::http
