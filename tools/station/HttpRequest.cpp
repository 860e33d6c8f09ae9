#include "HttpRequest.h"

#include "platform/AsciiText.h"

namespace station
{
std::optional<std::string> HttpRequest::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (platform::EqualsNoCase(key, name))
            return value;
    return std::nullopt;
}

HttpRequest HttpRequest::Parse(std::string_view head)
{
    HttpRequest request;
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const std::size_t space1 = line.find(' ');
    const std::size_t space2 = space1 == line.npos ? line.npos : line.find(' ', space1 + 1);
    if (space2 != line.npos && space1 > 0 && space2 > space1 + 1)
    {
        request.method = line.substr(0, space1);
        request.target = line.substr(space1 + 1, space2 - space1 - 1);
    }
    while (lineEnd != head.npos)
    {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string_view header = head.substr(start, lineEnd - start);
        const std::size_t colon = header.find(':');
        if (colon == header.npos)
            continue;
        const std::size_t valueStart = header.find_first_not_of(' ', colon + 1);
        request.headers.emplace_back(header.substr(0, colon), valueStart == header.npos
                                                                  ? std::string_view()
                                                                  : header.substr(valueStart));
    }
    const std::size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos)
        request.query = request.target.substr(question + 1);
    return request;
}
} // namespace station
