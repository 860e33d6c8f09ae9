// ovdiag [--socket PATH] [--out FILE]: the trace viewer. Prints "listening on PATH" on
// stderr once the socket accepts connections (and, with --ready-fd N, writes a byte to
// that descriptor and closes it: how an engine that started the viewer learns it
// listens); ends on SIGINT or SIGTERM. The output file is the user's alone (0600).
#include "TraceViewer.h"
#include "host/TraceBlock.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace
{
CTraceViewer* g_pViewer = nullptr;

void OnSignal(int)
{
    if (g_pViewer)
        g_pViewer->Stop();
}

int Usage()
{
    std::cerr << "usage: ovdiag [--socket PATH] [--out FILE]\n";
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    std::string strSocket;
    std::string strOut;
    std::string strReadyFd;
    for (int i = 1; i < argc; ++i)
    {
        const std::string strArg = argv[i];
        if (strArg == "--socket" && i + 1 < argc)
            strSocket = argv[++i];
        else if (strArg == "--out" && i + 1 < argc)
            strOut = argv[++i];
        else if (strArg == "--ready-fd" && i + 1 < argc)
            strReadyFd = argv[++i];
        else
            return Usage();
    }
    if (strSocket.empty())
        strSocket = host::TraceSocketPath();
    try
    {
        CTraceViewer viewer(strSocket);
        std::ofstream out;
        if (!strOut.empty())
        {
            // Made 0600 before the stream opens it: trace lines quote signed addresses.
            const int hOut =
                ::open(strOut.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (hOut >= 0)
                ::close(hOut);
            out.open(strOut, std::ios::app);
            if (!out)
            {
                std::cerr << "ovdiag: cannot write " << strOut << ": " << std::strerror(errno)
                          << "\n";
                return 1;
            }
            viewer.AddOutput(out);
        }
        viewer.AddOutput(std::cout);
        g_pViewer = &viewer;
        struct sigaction action
        {
        };
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        std::cerr << "listening on " << viewer.SocketPath() << std::endl;
        if (!strReadyFd.empty())
        {
            // Never one of the standard streams, whatever the command line says.
            const int hReady = std::atoi(strReadyFd.c_str());
            if (hReady > 2)
            {
                [[maybe_unused]] const ssize_t n = ::write(hReady, "1", 1);
                ::close(hReady);
            }
        }
        viewer.Run();
        g_pViewer = nullptr;
    }
    catch (const std::exception& e)
    {
        std::cerr << "ovdiag: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
