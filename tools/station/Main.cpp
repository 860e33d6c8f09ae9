// ovradio-station [--port N] [--music DIR] [--scenario FILE] [--log FILE]
// Serves until SIGINT or SIGTERM; the first stdout line names the address.
#include "Station.h"

#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    station::StationOptions options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue)
            options.port = static_cast<uint16_t>(std::stoul(argv[++i]));
        else if (arg == "--music" && hasValue)
            options.musicFolder = argv[++i];
        else if (arg == "--scenario" && hasValue)
            options.scenarioFile = argv[++i];
        else if (arg == "--log" && hasValue)
            options.logFile = argv[++i];
        else
        {
            std::cerr << "usage: ovradio-station [--port N] [--music DIR] [--scenario FILE] "
                         "[--log FILE]\n";
            return 2;
        }
    }

    // The signals are taken synchronously by sigwait, so no handler runs on a server thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try
    {
        station::Station server(options);
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
