// One HTTP request as the station reads it: the request line split into method, target,
// path and query, and the header lines in their order. A plain value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace station
{
struct HttpRequest
{
    std::string method;
    std::string target; // as sent: path and query
    std::string path;
    std::string query; // after the first '?', still encoded
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the first header of that name, compared without regard to case.
    std::optional<std::string> Header(std::string_view name) const;

    // Parses a request head (the lines before the blank line, CR LF separated). A request
    // line that is not "METHOD TARGET VERSION" leaves the method empty.
    static HttpRequest Parse(std::string_view head);
};
} // namespace station
