// The runs that time the engine from inside its host: the driver starts itself again with
// --host (a fresh process, so the time request and the engine's start are part of it),
// with OVRADIO_HOME pointing at a runtime folder whose preferences name the station.
// Each prints one line of figures on standard output for the driver to read.
#pragma once

#include <string>

namespace bench
{
// "latency <time> <sequence> <content> <handshake> <total>" in milliseconds: StartSession
// to the time answer, to the first track of the sequence, to the content server's answer
// head, to the first audio byte in the host's buffer. Phases come from the engine's trace
// lines, received by a viewer in this process.
int RunLatencyHost(const std::string& strStation);
// "start <total>": the same without a trace viewer, whose answer to every trace line
// would otherwise add to the time.
int RunStartHost(const std::string& strStation);
// "gaps <ms> <ms> ...": for each track after the first, RS_EOF of the one before to the
// first byte of it, reading flat out nTracks tracks.
int RunGapHost(const std::string& strStation, int nTracks);
// "transfer <bytes> <seconds>": the first track read flat out, from its first byte in the
// host's buffer to RS_EOF (what the process's start and end do not blur).
int RunTransferHost(const std::string& strStation);
} // namespace bench
