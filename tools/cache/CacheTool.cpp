#include "CacheTool.h"

#include "cache/CacheCipher.h"
#include "cache/CacheFileMgr.h"
#include "cache/RadioCacheMgr.h"
#include "platform/JsonText.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <optional>

namespace
{
constexpr const char* kUsage = "usage: ovradio-cache show [--json]\n"
                               "       ovradio-cache list [--json]\n"
                               "       ovradio-cache set --max BYTES [--margin BYTES]\n"
                               "       ovradio-cache trim [--json]\n"
                               "       ovradio-cache encipher IN OUT\n"
                               "       ovradio-cache decipher IN OUT\n";

// A size as plain decimal (250000000, 1.5), never in exponent form.
std::string Number(double value)
{
    if (!std::isfinite(value))
        return "null";
    std::array<char, 400> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed);
    return std::string(buffer.data(), result.ptr);
}

std::optional<double> ParseBytes(const std::string& text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

void PrintSettings(const CacheSettings& settings, double dSize, bool bJson, std::ostream& out)
{
    if (bJson)
    {
        out << "{\"location\":" << platform::JsonString(settings.strLocation)
            << ",\"max_size\":" << Number(settings.dMaxSize)
            << ",\"safety_margin\":" << Number(settings.dSafetyMargin)
            << ",\"enabled\":" << (settings.bEnabled ? "true" : "false")
            << ",\"size\":" << Number(dSize) << "}\n";
        return;
    }
    out << "location       " << settings.strLocation << "\n"
        << "max size       " << Number(settings.dMaxSize) << " bytes\n"
        << "safety margin  " << Number(settings.dSafetyMargin) << " bytes\n"
        << "enabled        " << (settings.bEnabled ? "yes" : "no") << "\n"
        << "size           " << Number(dSize) << " bytes\n";
}

// The header of a cache file, read without opening it for writing (a file the engine
// holds stays untouched); the reason in error when it cannot be read.
std::optional<CacheFileHeader> ReadHeaderOnly(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes(mcCacheFileMgr::kHeaderSize, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.gcount() < static_cast<std::streamsize>(bytes.size()))
    {
        error = "ERROR!! In mcCacheFileMgr::ReadHeader, fread() return error";
        return std::nullopt;
    }
    CacheFileHeader header;
    if (!ParseCacheFileHeader(bytes, header, error))
        return std::nullopt;
    return header;
}

int Show(bool bJson, std::ostream& out)
{
    const CacheSettings settings = mcRadioCacheMgr::PeekSettings(mcRadioCacheMgr::QueryAppFolder());
    PrintSettings(settings, CacheFolderSize(settings.strLocation, nullptr), bJson, out);
    return 0;
}

int List(bool bJson, std::ostream& out)
{
    const CacheSettings settings = mcRadioCacheMgr::PeekSettings(mcRadioCacheMgr::QueryAppFolder());
    std::vector<CacheFileEntry> entries;
    CacheFolderSize(settings.strLocation, &entries);
    if (!bJson)
        out << std::left << std::setw(24) << "FILE" << std::setw(12) << "SIZE" << std::setw(25)
            << "LAST WRITE"
            << "HEADER\n";
    for (const CacheFileEntry& entry : entries)
    {
        std::string error;
        const std::optional<CacheFileHeader> h =
            ReadHeaderOnly(settings.strLocation + entry.strName, error);
        if (bJson)
        {
            out << "{\"file\":" << platform::JsonString(entry.strName)
                << ",\"size\":" << Number(entry.dSize)
                << ",\"lastwrite\":" << platform::JsonString(entry.strLastWrite) << ",\"header\":";
            if (h)
                out << "{\"trackid\":" << platform::JsonString(h->trackid)
                    << ",\"cacheid\":" << platform::JsonString(h->cacheid)
                    << ",\"policy\":" << platform::JsonString(h->policy)
                    << ",\"bitrate\":" << h->bitrate << ",\"channel\":" << h->channel
                    << ",\"freq\":" << h->freq << ",\"format\":" << platform::JsonString(h->format)
                    << ",\"filename\":" << platform::JsonString(h->filename)
                    << ",\"tracksize\":" << h->tracksize << ",\"trackcursize\":" << h->trackcursize
                    << ",\"lastaccess\":" << platform::JsonString(h->lastaccess) << "}";
            else
                out << "null";
            out << "}\n";
            continue;
        }
        out << std::left << std::setw(24) << entry.strName << std::setw(12) << Number(entry.dSize)
            << std::setw(25) << entry.strLastWrite;
        if (h)
            out << "track " << h->trackid << ", cache " << h->cacheid << ", policy " << h->policy
                << ", " << h->bitrate << " kbit/s " << h->format << ", " << h->trackcursize
                << " of " << h->tracksize << " bytes, last access " << h->lastaccess << "\n";
        else
            out << "none (" << error << ")\n";
    }
    return 0;
}

int Set(double dMax, std::optional<double> margin, std::ostream& out)
{
    mcRadioCacheMgr mgr;
    mgr.Init();
    mgr.SetRadioCacheStatus(dMax, margin.value_or(mgr.GetSettings().dSafetyMargin));
    PrintSettings(mgr.GetSettings(), mgr.GetCacheSize(), false, out);
    mgr.UnInit();
    return 0;
}

int Trim(bool bJson, std::ostream& out)
{
    mcRadioCacheMgr mgr;
    mgr.Init();
    const SizeStatus status = mgr.RunSizeCheckAndWait();
    const double dSize = mgr.GetLastCacheSize();
    mgr.UnInit();
    if (bJson)
        out << "{\"status\":" << static_cast<int>(status) << ",\"size\":" << Number(dSize) << "}\n";
    else
        out << "status  " << static_cast<int>(status) << "\nsize    " << Number(dSize)
            << " bytes\n";
    return 0;
}

int Transform(const std::string& in, const std::string& outPath, std::ostream& err)
{
    if (std::FILE* probe = std::fopen(in.c_str(), "rb"))
        std::fclose(probe);
    else
    {
        err << "ovradio-cache: cannot read " << in << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    CacheCipher cipher;
    errno = 0;
    if (cipher.InitializeStored() && cipher.ProcessFile(in, outPath))
        return 0;
    const int code = errno;
    err << "ovradio-cache: cannot write " << outPath << ": "
        << (code ? std::strerror(code) : "write failed") << "\n";
    return 1;
}

int Usage(std::ostream& err, const std::string& problem)
{
    err << "ovradio-cache: " << problem << "\n" << kUsage;
    return 2;
}
} // namespace

int RunCacheTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty())
        return Usage(err, "no command");
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const bool bJsonOnly = rest.size() == 1 && rest[0] == "--json";
    if (command == "show" || command == "list" || command == "trim")
    {
        if (!rest.empty() && !bJsonOnly)
            return Usage(err, "unknown option " + rest[0]);
        if (command == "show")
            return Show(bJsonOnly, out);
        if (command == "list")
            return List(bJsonOnly, out);
        return Trim(bJsonOnly, out);
    }
    if (command == "set")
    {
        std::optional<double> max, margin;
        for (std::size_t i = 0; i < rest.size(); i += 2)
        {
            if (i + 1 >= rest.size() || (rest[i] != "--max" && rest[i] != "--margin"))
                return Usage(err, "unknown option " + rest[i]);
            const std::optional<double> value = ParseBytes(rest[i + 1]);
            if (!value)
                return Usage(err, "not a number of bytes: " + rest[i + 1]);
            (rest[i] == "--max" ? max : margin) = value;
        }
        if (!max)
            return Usage(err, "set needs --max");
        return Set(*max, margin, out);
    }
    if (command == "encipher" || command == "decipher")
    {
        if (rest.size() != 2)
            return Usage(err, command + " needs IN and OUT");
        return Transform(rest[0], rest[1], err);
    }
    return Usage(err, "unknown command " + command);
}
