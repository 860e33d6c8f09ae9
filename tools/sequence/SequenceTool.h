// ovradio-sequence --station ID [--name TEXT] [--afd TEXT] [--ccd TEXT] [--user-info TEXT]
//                  [--count N]
// Asks the sequence server for the station's tracks through the sequence manager, as the
// stream manager does, and prints one JSON object per line: each track, each status
// callback, and last the count of tracks and the sequence status. Exit 0 when N tracks
// came, 3 when fewer, 2 for bad arguments. One run at a time per process (the status
// callback writes to the run's output).
#pragma once

#include <ostream>
#include <string>
#include <vector>

int RunSequenceTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
