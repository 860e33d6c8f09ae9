#include "PlayOptions.h"

#include <charconv>

PlayCommandLine ParsePlayOptions(const std::vector<std::string>& args)
{
    SPlayOptions options;
    bool bHelp = false;
    const auto flag = [](const char* pszName, bool& bField)
    {
        return SCommandOption{pszName, false,
                              [&bField](const std::string&) -> std::optional<std::string>
                              {
                                  bField = true;
                                  return std::nullopt;
                              }};
    };
    std::vector<SCommandOption> table = SessionOptionTable(options);
    table.insert(table.end(),
                 {flag("-h", bHelp),
                  flag("--help", bHelp),
                  flag("--stdout", options.bStdout),
                  flag("--realtime", options.bRealtime),
                  flag("--json", options.bJson),
                  flag("--demo", options.bDemo),
                  {"--out", true,
                   [&](const std::string& strValue) -> std::optional<std::string>
                   {
                       if (strValue.empty())
                           return std::string("--out needs a folder");
                       options.strOutFolder = strValue;
                       return std::nullopt;
                   }},
                  {"--tracks", true,
                   [&](const std::string& strValue) -> std::optional<std::string>
                   {
                       const std::optional<uint32_t> n = DecimalNumber(strValue, 1, 1000000);
                       if (!n)
                           return "--tracks takes a number from 1 to 1000000, not \"" + strValue +
                                  "\"";
                       options.nTracks = *n;
                       return std::nullopt;
                   }},
                  {"--read-size", true,
                   [&](const std::string& strValue) -> std::optional<std::string>
                   {
                       const std::optional<uint32_t> n = DecimalNumber(strValue, 1, kMaxReadSize);
                       if (!n)
                           return "--read-size takes a number of bytes from 1 to " +
                                  std::to_string(kMaxReadSize) + ", not \"" + strValue + "\"";
                       options.nReadSize = *n;
                       return std::nullopt;
                   }}});
    const std::optional<std::string> problem = ReadCommandLine(args, table);
    // Reading stops at the first problem: help asked for before it is answered.
    if (bHelp)
        return SPlayHelp{};
    if (problem)
        return *problem;

    if (options.bDemo && options.strStation.empty())
        options.strStation = kDemoStation;
    if (std::optional<std::string> missing = FinishSessionOptions(options))
        return *missing;
    if (!options.strOutFolder.empty() && options.bStdout)
        return std::string("--out and --stdout exclude each other");
    // Standard output carries either the audio or the JSON lines, never both.
    if (options.bJson && options.bStdout)
        return std::string("--json writes to standard output, which --stdout gives to the audio");
    if (options.bDemo && options.strOutFolder.empty() && !options.bStdout)
        options.strOutFolder = kDemoFolder;
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
