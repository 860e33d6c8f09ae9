#include "platform/Format.h"

#include "platform/Utf.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace platform
{
namespace
{
constexpr std::size_t kLimit = kFormatTextLimit;

// The output buffer: takes characters until it holds kLimit, then drops the rest.
class Output
{
public:
    bool Full() const { return m_nUsed == kLimit; }
    void Put(char c)
    {
        if (m_nUsed < kLimit)
            m_buffer[m_nUsed++] = c;
    }
    void Put(std::string_view text)
    {
        const std::size_t n = std::min(text.size(), kLimit - m_nUsed);
        if (n == 0)
            return; // an empty view may have no storage at all
        std::memcpy(m_buffer.data() + m_nUsed, text.data(), n);
        m_nUsed += n;
    }
    void Repeat(char c, std::size_t nCount)
    {
        const std::size_t n = std::min(nCount, kLimit - m_nUsed);
        std::memset(m_buffer.data() + m_nUsed, c, n);
        m_nUsed += n;
    }
    std::string Text() const { return std::string(m_buffer.data(), m_nUsed); }

private:
    std::array<char, kLimit> m_buffer;
    std::size_t m_nUsed = 0;
};

// The argument list, owned: copied on construction, ended on destruction.
class Arguments
{
public:
    explicit Arguments(va_list args) { va_copy(m_args, args); }
    ~Arguments() { va_end(m_args); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    int Int() { return va_arg(m_args, int); }
    const char* Text() { return va_arg(m_args, const char*); }
    const char16_t* WideText() { return va_arg(m_args, const char16_t*); }
    const void* Pointer() { return va_arg(m_args, const void*); }

private:
    va_list m_args;
};

struct Conversion
{
    bool bLeft = false;
    bool bPrefix = false;
    bool bZero = false;
    std::size_t nWidth = 0;
    std::optional<std::size_t> precision;
    char cSize = 0; // 'h', 'l', 'w' or none
    char cType = 0; // 0 when the format ended inside the conversion
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Decimal digits, saturated at kLimit: no width or precision can use more.
std::size_t ReadCount(const char*& p)
{
    std::size_t n = 0;
    for (; IsDigit(*p); ++p)
        n = std::min(n * 10 + static_cast<std::size_t>(*p - '0'), kLimit);
    return n;
}

// Reads the conversion after its '%'; stops at the format's terminator.
Conversion ReadConversion(const char*& p)
{
    Conversion conv;
    for (;; ++p)
    {
        if (*p == '-')
            conv.bLeft = true;
        else if (*p == '#')
            conv.bPrefix = true;
        else if (*p == '0')
            conv.bZero = true;
        else
            break;
    }
    conv.nWidth = ReadCount(p);
    if (*p == '.')
    {
        ++p;
        conv.precision = ReadCount(p);
    }
    if (*p == 'h' || *p == 'l' || *p == 'w')
        conv.cSize = *p++;
    if (*p != '\0')
        conv.cType = *p++;
    return conv;
}

// Text padded to the width with blanks, on the left unless left-aligned.
void PutPadded(Output& out, const Conversion& conv, std::string_view text)
{
    const std::size_t nPad = conv.nWidth > text.size() ? conv.nWidth - text.size() : 0;
    if (!conv.bLeft)
        out.Repeat(' ', nPad);
    out.Put(text);
    if (conv.bLeft)
        out.Repeat(' ', nPad);
}

void PutNumber(Output& out, const Conversion& conv, uint64_t nMagnitude, bool bNegative,
               unsigned nBase, bool bUpper)
{
    const char* digitSet = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::array<char, 24> reversed;
    std::size_t nDigits = 0;
    do
    {
        reversed[nDigits++] = digitSet[nMagnitude % nBase];
        nMagnitude /= nBase;
    } while (nMagnitude != 0);

    std::string_view prefix;
    if (bNegative)
        prefix = "-";
    else if (nBase == 16 && conv.bPrefix)
        prefix = bUpper ? "0X" : "0x";
    std::size_t nZeros = conv.precision.value_or(0) > nDigits ? *conv.precision - nDigits : 0;
    const std::size_t nBody = prefix.size() + nZeros + nDigits;
    std::size_t nPad = conv.nWidth > nBody ? conv.nWidth - nBody : 0;
    if (conv.bZero && !conv.bLeft)
    {
        nZeros += nPad;
        nPad = 0;
    }
    if (!conv.bLeft)
        out.Repeat(' ', nPad);
    out.Put(prefix);
    out.Repeat('0', nZeros);
    while (nDigits > 0)
        out.Put(reversed[--nDigits]);
    if (conv.bLeft)
        out.Repeat(' ', nPad);
}

void PutSigned(Output& out, const Conversion& conv, Arguments& args)
{
    const int32_t n = conv.cSize == 'h' ? static_cast<int16_t>(args.Int()) : args.Int();
    const uint64_t nMagnitude = n < 0 ? uint64_t{0} - static_cast<int64_t>(n) : uint64_t(n);
    PutNumber(out, conv, nMagnitude, n < 0, 10, false);
}

void PutUnsigned(Output& out, const Conversion& conv, Arguments& args, unsigned nBase, bool bUpper)
{
    const uint32_t n =
        conv.cSize == 'h' ? static_cast<uint16_t>(args.Int()) : static_cast<uint32_t>(args.Int());
    PutNumber(out, conv, n, false, nBase, bUpper);
}

void PutPointer(Output& out, Conversion conv, Arguments& args)
{
    conv.precision = 2 * sizeof(void*);
    conv.bPrefix = false;
    PutNumber(out, conv, reinterpret_cast<uintptr_t>(args.Pointer()), false, 16, true);
}

// At most nMaxUnits code units of a wide string, as UTF-8.
std::string WideToUtf8(const char16_t* pWide, std::size_t nMaxUnits)
{
    std::size_t n = 0;
    while (n < nMaxUnits && pWide[n] != 0)
        ++n;
    return Utf16ToUtf8(std::u16string_view(pWide, n));
}

bool IsWide(const Conversion& conv)
{
    const bool bUpperType = conv.cType == 'S' || conv.cType == 'C';
    return conv.cSize == 'l' || conv.cSize == 'w' || (bUpperType && conv.cSize != 'h');
}

// The most characters a string conversion needs to look at: its precision, and never
// more than the output can hold.
std::size_t StringReach(const Conversion& conv)
{
    return std::min(conv.precision.value_or(kLimit), kLimit);
}

void PutString(Output& out, const Conversion& conv, Arguments& args)
{
    const std::size_t nReach = StringReach(conv);
    if (IsWide(conv))
    {
        const char16_t* pWide = args.WideText();
        if (pWide == nullptr)
            PutPadded(out, conv, std::string_view("(null)").substr(0, nReach));
        else
            PutPadded(out, conv, WideToUtf8(pWide, nReach));
        return;
    }
    const char* psz = args.Text();
    if (psz == nullptr)
        psz = "(null)";
    PutPadded(out, conv, std::string_view(psz, strnlen(psz, nReach)));
}

void PutChar(Output& out, const Conversion& conv, Arguments& args)
{
    std::string text;
    if (IsWide(conv))
    {
        const char16_t unit = static_cast<char16_t>(args.Int());
        if (unit != 0)
            text = Utf16ToUtf8(std::u16string_view(&unit, 1));
    }
    else if (const char c = static_cast<char>(args.Int()); c != '\0')
    {
        text = c; // a NUL would end the text for every reader; it is left out
    }
    PutPadded(out, conv, text);
}

void PutConversion(Output& out, const Conversion& conv, Arguments& args)
{
    switch (conv.cType)
    {
    case 'd':
    case 'i':
        PutSigned(out, conv, args);
        break;
    case 'u':
        PutUnsigned(out, conv, args, 10, false);
        break;
    case 'x':
    case 'X':
        PutUnsigned(out, conv, args, 16, conv.cType == 'X');
        break;
    case 'p':
        PutPointer(out, conv, args);
        break;
    case 's':
    case 'S':
        PutString(out, conv, args);
        break;
    case 'c':
    case 'C':
        PutChar(out, conv, args);
        break;
    default: // '%' and every unknown type: the character itself, no argument
        out.Put(conv.cType);
        break;
    }
}
} // namespace

std::string FormatTextV(const char* pszFormat, va_list args)
{
    if (pszFormat == nullptr)
        return {};
    Output out;
    Arguments arguments(args);
    const char* p = pszFormat;
    while (*p != '\0' && !out.Full())
    {
        if (*p != '%')
        {
            out.Put(*p++);
            continue;
        }
        const char* pStart = p++;
        const Conversion conv = ReadConversion(p);
        if (conv.cType == '\0')
            out.Put(std::string_view(pStart, static_cast<std::size_t>(p - pStart)));
        else
            PutConversion(out, conv, arguments);
    }
    return out.Text();
}

std::string FormatText(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    std::string text;
    try
    {
        text = FormatTextV(pszFormat, args);
    }
    catch (...)
    {
        va_end(args);
        throw;
    }
    va_end(args);
    return text;
}
} // namespace platform
