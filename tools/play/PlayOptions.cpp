#include "PlayOptions.h"

#include <charconv>

namespace
{
// A decimal number without sign or blanks, within [nMin, nMax].
std::optional<uint32_t> Number(const std::string& text, uint32_t nMin, uint32_t nMax)
{
    uint32_t value = 0;
    const char* pEnd = text.data() + text.size();
    const auto [pStop, error] = std::from_chars(text.data(), pEnd, value);
    if (text.empty() || error != std::errc() || pStop != pEnd || value < nMin || value > nMax)
        return std::nullopt;
    return value;
}

bool TakesValue(const std::string& name)
{
    return name == "--station" || name == "--name" || name == "--afd" || name == "--ccd" ||
           name == "--user-info" || name == "--tracks" || name == "--out" || name == "--read-size";
}
} // namespace

PlayCommandLine ParsePlayOptions(const std::vector<std::string>& args)
{
    SPlayOptions options;
    bool bNamed = false;
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& name = args[i];
        if (name == "-h" || name == "--help")
            return SPlayHelp{};
        if (TakesValue(name))
        {
            if (i + 1 >= args.size())
                return name + " needs a value";
            const std::string& value = args[++i];
            if (name == "--station")
                options.strStation = value;
            else if (name == "--name")
            {
                options.strName = value;
                bNamed = true;
            }
            else if (name == "--afd")
                options.strAFD = value;
            else if (name == "--ccd")
                options.strCCD = value;
            else if (name == "--user-info")
                options.strUserInfo = value;
            else if (name == "--out")
            {
                if (value.empty())
                    return std::string("--out needs a folder");
                options.strOutFolder = value;
            }
            else if (name == "--tracks")
            {
                const std::optional<uint32_t> n = Number(value, 1, 1000000);
                if (!n)
                    return "--tracks takes a number from 1 to 1000000, not \"" + value + "\"";
                options.nTracks = *n;
            }
            else
            {
                const std::optional<uint32_t> n = Number(value, 1, kMaxReadSize);
                if (!n)
                    return "--read-size takes a number of bytes from 1 to " +
                           std::to_string(kMaxReadSize) + ", not \"" + value + "\"";
                options.nReadSize = *n;
            }
        }
        else if (name == "--stdout")
            options.bStdout = true;
        else if (name == "--realtime")
            options.bRealtime = true;
        else if (name == "--json")
            options.bJson = true;
        else if (name == "--demo")
            options.bDemo = true;
        else
            return "unknown option \"" + name + "\"";
    }

    if (options.bDemo && options.strStation.empty())
        options.strStation = kDemoStation;
    if (options.strStation.empty())
        return std::string("--station is needed");
    if (!options.strOutFolder.empty() && options.bStdout)
        return std::string("--out and --stdout exclude each other");
    // Standard output carries either the audio or the JSON lines, never both.
    if (options.bJson && options.bStdout)
        return std::string("--json writes to standard output, which --stdout gives to the audio");
    if (options.bDemo && options.strOutFolder.empty() && !options.bStdout)
        options.strOutFolder = kDemoFolder;
    if (!bNamed)
        options.strName = options.strStation;
    return options;
}

const char* PlayUsage()
{
    return "usage: ovradio-play --station ID [--name TEXT] [--afd TEXT] [--ccd TEXT]\n"
           "                    [--user-info TEXT] [--tracks N] [--out DIR | --stdout]\n"
           "                    [--realtime] [--read-size BYTES] [--json] [--demo]\n"
           "  Plays a station through the radio engine, as a desktop player does.\n"
           "  --tracks N        stop after N tracks (default: until the station ends)\n"
           "  --out DIR         write each track to DIR as \"NN - Artist - Title.EXT\"\n"
           "  --stdout          write the audio bytes of all tracks to standard output\n"
           "  --realtime        read at the track's bit rate, as a playing player does\n"
           "  --read-size BYTES bytes asked for by each read (default 16384)\n"
           "  --json            one JSON object per line on standard output\n"
           "  --demo            play the `music` station of an embedded station server to\n"
           "                    ./ovradio-demo/, in a temporary runtime folder unless\n"
           "                    OVRADIO_HOME is set\n"
           "Exit codes: 0 the tracks were played or the user stopped, 3 the station ended\n"
           "first, 4 a track ended short (the player played on), 1 an error, 2 a command\n"
           "line that is not understood.\n";
}
