// The commands of ovradio-cache over the runtime folder's radio cache. "show" and
// "list" only read (the index is deciphered in memory, nothing is saved or deleted);
// "set" and "trim" go through mcRadioCacheMgr as the engine does; "encipher" and
// "decipher" transform one file with the index cipher. Used from one thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs the command in args (without the program name); output on out, errors naming
// the file and the reason on err. 0 on success, 1 when the command failed, 2 for a
// command line that is not understood.
int RunCacheTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
