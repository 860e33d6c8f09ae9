// The content addresses a station has handed out, by the TOK= number each carries: whom
// the sequence was for, which part of which track, its bytes, and the MAGIC= value as
// handed out. Sequence answers add grants and content requests look them up, from
// connection threads, under m_mutex. The oldest grants go once there are 100000.
#pragma once

#include "ContentPart.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace station
{
struct Grant
{
    std::string uid;       // the identifier the sequence was signed for
    std::string stationId; // the station whose sequence handed it out
    uint32_t trackid = 0;
    std::string part; // "song" or "cache"
    ContentPart content;
    std::string magicValue; // as handed out, placeholder included; empty: no MAGIC=
};

class GrantTable
{
public:
    // The new grant's token.
    uint64_t Add(Grant grant) OVR_EXCLUDES(m_mutex);
    std::optional<Grant> Find(uint64_t token) const OVR_EXCLUDES(m_mutex);

private:
    mutable platform::Mutex m_mutex;
    uint64_t m_nextToken OVR_GUARDED_BY(m_mutex) = 1;
    std::map<uint64_t, Grant> m_grants OVR_GUARDED_BY(m_mutex);
};
} // namespace station
