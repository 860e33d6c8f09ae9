#include "platform/Convert.h"

#include <cstdint>

namespace platform
{
namespace
{
// The sign and the magnitude of a decimal number, the magnitude saturated just above
// what either conversion can return.
struct Decimal
{
    bool bNegative = false;
    uint64_t nMagnitude = 0;
    std::size_t nUsed = 0; // characters converted; 0 when there were no digits
};

constexpr uint64_t kMagnitudeCap = uint64_t{1} << 33; // above every 32-bit result

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

Decimal ParseDecimal(std::string_view text)
{
    Decimal result;
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    {
        result.bNegative = text[i] == '-';
        ++i;
    }
    const std::size_t nFirstDigit = i;
    for (; i < text.size() && IsDigit(text[i]); ++i)
    {
        if (result.nMagnitude < kMagnitudeCap)
            result.nMagnitude = result.nMagnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i > nFirstDigit)
        result.nUsed = i;
    else
        result = Decimal{};
    return result;
}

std::string_view ViewOf(const char* pszText)
{
    return pszText != nullptr ? std::string_view(pszText) : std::string_view();
}

void Report(const Decimal& d, std::size_t* pnUsed)
{
    if (pnUsed != nullptr)
        *pnUsed = d.nUsed;
}
} // namespace

LONG StrToLong(std::string_view text, std::size_t* pnUsed)
{
    const Decimal d = ParseDecimal(text);
    Report(d, pnUsed);
    if (d.bNegative)
        return d.nMagnitude >= uint64_t{2147483648} ? INT32_MIN : -static_cast<LONG>(d.nMagnitude);
    return d.nMagnitude >= uint64_t{2147483647} ? INT32_MAX : static_cast<LONG>(d.nMagnitude);
}

LONG StrToLong(const char* pszText)
{
    return StrToLong(ViewOf(pszText));
}

DWORD StrToUlong(std::string_view text, std::size_t* pnUsed)
{
    const Decimal d = ParseDecimal(text);
    Report(d, pnUsed);
    if (d.nMagnitude > UINT32_MAX)
        return UINT32_MAX;
    const DWORD dwValue = static_cast<DWORD>(d.nMagnitude);
    return d.bNegative ? static_cast<DWORD>(0u - dwValue) : dwValue;
}

DWORD StrToUlong(const char* pszText)
{
    return StrToUlong(ViewOf(pszText));
}
} // namespace platform
