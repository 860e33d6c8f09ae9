// ovdiag [--socket PATH] [--out FILE]: the trace viewer. Prints "listening on PATH" on
// stderr once the socket accepts connections; ends on SIGINT or SIGTERM.
#include "TraceViewer.h"
#include "host/TraceBlock.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>

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
    std::string strSocket = host::TraceSocketPath();
    std::string strOut;
    for (int i = 1; i < argc; ++i)
    {
        const std::string strArg = argv[i];
        if ((strArg == "--socket" || strArg == "--out") && i + 1 < argc)
            (strArg == "--socket" ? strSocket : strOut) = argv[++i];
        else
            return Usage();
    }
    try
    {
        CTraceViewer viewer(strSocket);
        std::ofstream out;
        if (!strOut.empty())
        {
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
