// ovradio-station [--port N] [--music DIR] [--scenario FILE] [--log FILE] [--track-size BYTES]
//                 [--music-cache DIR] [--music-seconds N] [--tls-cert FILE --tls-key FILE]
// Serves until SIGINT or SIGTERM; the first stdout line names the address.
#include "FormText.h"
#include "Station.h"

#include <csignal>
#include <iostream>
#include <optional>
#include <string>

namespace
{
constexpr const char* kUsage = "usage: ovradio-station [--port N] [--music DIR] [--scenario FILE] "
                               "[--log FILE] [--track-size BYTES] [--music-cache DIR] "
                               "[--music-seconds N] [--tls-cert FILE --tls-key FILE]\n";

// The options of the command line; nothing when one is unknown, lacks its value or has a
// bad number.
std::optional<station::StationOptions> ReadOptions(int argc, char** argv)
{
    station::StationOptions options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string value = argv[++i];
        if (arg == "--port")
        {
            const auto port = station::Decimal(value, 5);
            if (!port || *port > 65535)
                return std::nullopt;
            options.port = static_cast<uint16_t>(*port);
        }
        else if (arg == "--track-size")
        {
            const auto size = station::Decimal(value);
            if (!size || *size == 0)
                return std::nullopt;
            options.trackSize = *size;
        }
        else if (arg == "--music-seconds")
        {
            const auto seconds = station::Decimal(value, 4);
            if (!seconds || *seconds == 0)
                return std::nullopt;
            options.musicSeconds = static_cast<uint32_t>(*seconds);
        }
        else if (arg == "--music-cache")
            options.musicCacheFolder = value;
        else if (arg == "--music")
            options.musicFolder = value;
        else if (arg == "--scenario")
            options.scenarioFile = value;
        else if (arg == "--log")
            options.logFile = value;
        else if (arg == "--tls-cert")
            options.tlsCertFile = value;
        else if (arg == "--tls-key")
            options.tlsKeyFile = value;
        else
            return std::nullopt;
    }
    // A certificate is served only with its key.
    if (options.tlsCertFile.empty() != options.tlsKeyFile.empty())
        return std::nullopt;
    return options;
}
} // namespace

int main(int argc, char** argv)
{
    const std::optional<station::StationOptions> options = ReadOptions(argc, argv);
    if (!options)
    {
        std::cerr << kUsage;
        return 2;
    }

    // The signals are taken synchronously by sigwait, so no handler runs on a server thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try
    {
        station::Station server(*options);
        std::cout << "listening on " << server.BaseUrl() << std::endl;
        int signal = 0;
        sigwait(&signals, &signal);
        server.Stop();
    }
    catch (const std::exception& error)
    {
        std::cerr << "ovradio-station: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
