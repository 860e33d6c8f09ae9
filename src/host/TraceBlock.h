// The message block of the diagnostic trace, byte for byte as the viewer receives it,
// and the transport's constants. A message on the viewer's seqpacket socket is a 4-byte
// kind followed by the 4104-byte block; the viewer answers each with a 4-byte reply
// (the channel id for an open message).
#pragma once
#include "platform/Types.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace host
{
inline constexpr DWORD kTraceKindOpen = 2;
inline constexpr DWORD kTraceKindClose = 3;
inline constexpr DWORD kTraceKindText = 7;

inline constexpr DWORD kTraceBlockSize = 4104;
inline constexpr std::size_t kTraceTextCapacity = 4068;
inline constexpr std::size_t kTraceTextMaxChars = 3999;
inline constexpr DWORD kTraceDefaultOpenMask = 0xEFFFFFFF;

#pragma pack(push, 1)
struct STraceBlock
{
    DWORD dwBlockSize; // 4104
    LONG nChannelId;   // 0 before the first open, then the viewer's reply to it
    DWORD dwOpenParameter;
    DWORD dwOpenMask;
    BYTE reserved1[12];
    BYTE bOpenFlag;
    BYTE reserved2[3];
    DWORD dwTextLength; // bytes of text including the terminating zero
    char szText[kTraceTextCapacity];
};

// What travels on the socket: the kind, then the block.
struct STraceMessage
{
    DWORD dwKind;
    STraceBlock block;
};
#pragma pack(pop)

static_assert(sizeof(STraceBlock) == kTraceBlockSize);
static_assert(offsetof(STraceBlock, nChannelId) == 4);
static_assert(offsetof(STraceBlock, dwOpenMask) == 12);
static_assert(offsetof(STraceBlock, bOpenFlag) == 28);
static_assert(offsetof(STraceBlock, dwTextLength) == 32);
static_assert(offsetof(STraceBlock, szText) == 36);
static_assert(sizeof(STraceMessage) == 4 + kTraceBlockSize);

// The viewer's socket: $OVDIAG_SOCKET when set, else $XDG_RUNTIME_DIR/ovdiag.sock (when
// that folder is the user's alone), else ovdiag.sock in /tmp/ovdiag-$UID, a folder made
// private (0700) and owner checked. Empty when that folder belongs to someone else: the
// trace then has no viewer.
std::string TraceSocketPath();

// True when the peer of the connected Unix socket runs as the user (SO_PEERCRED). Both
// ends of the trace check it: lines go only to a viewer of the user's own, and a viewer
// serves only the user's own clients.
bool PeerIsUser(int hSocket, uid_t user);
} // namespace host
