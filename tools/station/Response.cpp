#include "Response.h"

namespace station
{
namespace
{
const char* Reason(int status)
{
    switch (status)
    {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}
} // namespace

std::string ContentRange::HeaderLine() const
{
    return "Content-Range: bytes " + std::to_string(first) + "-" +
           std::to_string(first + length - 1) + "/" + std::to_string(part.size) + "\r\n";
}

Response Response::Refuse(int status, std::string note)
{
    Response response;
    response.status = status;
    response.body = note + "\n";
    response.note = std::move(note);
    return response;
}

uint64_t Response::BodyLength() const
{
    return content ? content->length : body.size();
}

std::string Response::Head() const
{
    return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
           "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(BodyLength()) + "\r\n" + extraHeaders +
           "Connection: close\r\n\r\n";
}

void Response::AddNote(std::string_view word)
{
    if (!note.empty())
        note += ' ';
    note += word;
}
} // namespace station
