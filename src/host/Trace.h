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

// Looks for the viewer when none is known: connects to its socket, else starts ovdiag
// from the PATH in the background and waits briefly for its socket. 0 when a viewer is
// known afterwards, -1 otherwise.
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
} // namespace host
