// The diagnostic trace: formatted text lines sent to the viewer program (ovdiag) over
// its seqpacket socket, dropped when no viewer runs. Callable from every thread: building
// the message block and sending it is one step under a process-wide lock, so lines from
// different threads never mix. A send waits for the viewer's reply; a viewer that does
// not answer within a few seconds counts as gone, and one that died is looked for once
// more, so tracing never hangs and never raises SIGPIPE.
// Every operation holds the trace's own lock (a leaf: nothing else is taken under it)
// for its whole send, so a call blocks while another thread's line goes out, for the
// viewer's reply (up to 3 s) and, when it looks for the viewer, up to 500 ms more.
#pragma once
#include "platform/Types.h"

#include <optional>
#include <string>
#include <sys/types.h>

// Looks for the viewer when none is known: connects to its socket (a viewer running as
// another user counts as none and is left at once), else, when nobody listens there,
// starts the installation's own ovdiag (TraceViewerProgram) in the background and waits
// up to 500 ms for it to listen. $OVDIAG_NOSTART set to anything but 0 forbids the
// start. 0 when a viewer is known afterwards, -1 otherwise.
int FindViewer();

// Formats like wvsprintfA (32-bit 'l', no floating point, at most 1024 characters) and
// sends the text. Text from outside (a server's, a file's) must travel as an argument,
// never as the format.
DWORD Trace(const char* pszFormat, ...);

// Sends text as one line, cut to 3999 characters. The viewer's reply, 0 when nothing
// was sent.
DWORD TraceText(const char* pszText);

// Opens the channel name with the given fields; the viewer's reply becomes the channel
// id of later messages.
DWORD OpenTraceChannel(const char* pszName, DWORD dwParameter, BYTE bFlag, DWORD dwMask);

// Closes the open channel; does nothing when none is open.
void CloseTraceChannel();

namespace host
{
// Forgets the known viewer (closing the connection), so that the next FindViewer looks
// again. For tests and tools that point the trace at a viewer of their own.
void ForgetTraceViewer();

// The channel id of the open channel, -1 when none is open.
LONG TraceChannelId();

// The viewer program FindViewer starts: ovdiag beside the program or library that holds
// the trace, or in the bin folder beside its lib folder, by absolute path; empty when
// there is none. Never looked up through PATH, so a file named ovdiag in the current
// folder is never run.
std::string TraceViewerProgram();

// The user a viewer must run as: this process's (nothing, the default) or, for tests that
// stand for a viewer of another user, the one given.
void SetTraceViewerOwner(std::optional<uid_t> user);
} // namespace host
