#include "platform/HttpUrl.h"

#include <curl/curl.h>
#include <memory>

namespace platform::http
{
namespace
{
struct UrlDeleter
{
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlText
{
    ~CurlText() { curl_free(p); }
    char* p = nullptr;
};

UrlHandle Parse(const std::string& strUrl)
{
    UrlHandle url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, strUrl.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
                    CURLUE_OK)
        return nullptr;
    return url;
}

bool Part(CURLU* url, CURLUPart what, unsigned flags, std::string& out)
{
    CurlText text;
    if (curl_url_get(url, what, &text.p, flags) != CURLUE_OK || text.p == nullptr)
        return false;
    out = text.p;
    return true;
}
} // namespace

bool CrackUrl(const std::string& strUrl, UrlParts& parts)
{
    UrlHandle url = Parse(strUrl);
    if (!url)
        return false;
    UrlParts result;
    if (!Part(url.get(), CURLUPART_SCHEME, 0, result.strScheme) ||
        !Part(url.get(), CURLUPART_HOST, 0, result.strHost) || result.strHost.empty() ||
        !Part(url.get(), CURLUPART_PATH, 0, result.strPathWithQuery))
        return false;
    std::string strQuery;
    if (Part(url.get(), CURLUPART_QUERY, 0, strQuery))
        result.strPathWithQuery += "?" + strQuery;
    std::string strPort;
    if (Part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT, strPort))
        result.nPort = WORD(std::stoul(strPort)); // the parser allows 1..65535 only
    parts = std::move(result);
    return true;
}

bool CanonicalizeUrl(const std::string& strUrl, std::string& strCanonical)
{
    UrlHandle url = Parse(strUrl);
    return url && Part(url.get(), CURLUPART_URL, 0, strCanonical);
}
} // namespace platform::http
