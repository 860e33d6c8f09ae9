#include "GrantTable.h"

namespace station
{
namespace
{
constexpr std::size_t kMaxGrants = 100000;
}

uint64_t GrantTable::Add(Grant grant)
{
    platform::MutexLock lock(m_mutex);
    const uint64_t token = m_nextToken++;
    m_grants.emplace(token, std::move(grant));
    if (m_grants.size() > kMaxGrants)
        m_grants.erase(m_grants.begin());
    return token;
}

std::optional<Grant> GrantTable::Find(uint64_t token) const
{
    platform::MutexLock lock(m_mutex);
    const auto it = m_grants.find(token);
    if (it == m_grants.end())
        return std::nullopt;
    return it->second;
}
} // namespace station
