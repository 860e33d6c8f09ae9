// The command line of ovradio-play: what to play, where the audio goes and how the run is
// reported. A plain value; parsing has no side effects.
#pragma once

#include "SessionOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The session's options (the station is "music" with --demo when not given), then the
// player's own.
struct SPlayOptions : SSessionOptions
{
    uint32_t nTracks = 0;       // 0: until the station ends or the user stops it
    std::string strOutFolder;   // --out; "ovradio-demo" with --demo when no output is given
    bool bStdout = false;       // --stdout: the audio bytes alone on standard output
    bool bRealtime = false;     // read at the track's bit rate, as a playing player does
    uint32_t nReadSize = 16384; // bytes asked for by each ReadStream
    bool bJson = false;
    bool bDemo = false;
};

struct SPlayHelp
{
};

// The options, a request for the usage text (-h, --help), or what is wrong with the line.
using PlayCommandLine = std::variant<SPlayOptions, SPlayHelp, std::string>;

// args without the program name.
PlayCommandLine ParsePlayOptions(const std::vector<std::string>& args);

// The usage text, ending in a line feed.
const char* PlayUsage();

inline constexpr uint32_t kMaxReadSize = 1048576;
inline constexpr const char* kDemoStation = "music";
inline constexpr const char* kDemoFolder = "ovradio-demo";
