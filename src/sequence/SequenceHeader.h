// The header of a sequence body: `key=value` lines with the server's status and the
// sequence's tuning values, looked up in the first read block of the body only.
#pragma once

#include "sequence/SequenceThreadParams.h"
#include "sequence/TrackInfo.h"

#include <string_view>

// Traces the code as received and maps it: 200, 244, 245 and 500 stay, anything else
// becomes 404.
int ProcessSequenceCode(int nStatusCode);

// Parses the header in `block` (the first read block, at most 2048 bytes) into the
// template record and the parameters, then stores the session identifier in the
// preferences. A missing required field raises CWorkerError with its message; the
// values read before it stay.
void ParseSequenceHeader(std::string_view block, STrackInfo& templateRec,
                         SSequenceThreadParams& params);

// Right after the header: the pre-sequence script goes to the host (status 9), and a
// 245 is announced (status 10) and becomes 200.
void ApplySequenceHeader(SSequenceThreadParams& params);
