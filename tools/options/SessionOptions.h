// What a tool that starts a session on a station is told about it on its command line:
// the station and the texts StartSession hands the engine (the sequence client gets the
// same). ovradio-play and ovradio-sequence read them through the same table.
#pragma once

#include "CommandLine.h"

#include <optional>
#include <string>
#include <vector>

struct SSessionOptions
{
    std::string strStation;
    std::string strName; // the station's display name; the station id when not given
    std::string strAFD;
    std::string strCCD;
    std::string strUserInfo;
    bool bNamed = false; // --name was given
};

// The table entries of --station, --name, --afd, --ccd and --user-info, applying to
// options (which must outlive the reading).
std::vector<SCommandOption> SessionOptionTable(SSessionOptions& options);

// After reading: what is wrong (no station), or nothing, with the name defaulted to the
// station id.
std::optional<std::string> FinishSessionOptions(SSessionOptions& options);

// The usage text's part for the session options, as "[--name TEXT] ..." words.
inline constexpr const char* kSessionOptionsUsage =
    "--station ID [--name TEXT] [--afd TEXT] [--ccd TEXT] [--user-info TEXT]";
