#include "Signatures.h"

#include "FormText.h"
#include "host/Md5.h"

#include <algorithm>

namespace station
{
namespace
{
constexpr std::string_view kColon = "%3a";
constexpr std::size_t kDigest = 32; // hex digits of an MD5 digest

struct MagicParts
{
    std::string_view prefix, placeholder, suffix;
};

// prefix %3a placeholder %3a suffix; nothing without two "%3a".
std::optional<MagicParts> SplitMagic(std::string_view value)
{
    const std::size_t first = value.find(kColon);
    if (first == value.npos)
        return std::nullopt;
    const std::size_t second = value.find(kColon, first + kColon.size());
    if (second == value.npos)
        return std::nullopt;
    return MagicParts{value.substr(0, first + kColon.size()),
                      value.substr(first + kColon.size(), second - first - kColon.size()),
                      value.substr(second)};
}
} // namespace

std::string SequenceLogValue(std::string_view uid, uint32_t hours)
{
    return host::Md5Hex(std::string(uid) + std::to_string(hours) +
                        "Harbor Lantern Quill Meadow Signal");
}

std::string IssueMagicValue(uint32_t trackid, std::string_view part, MagicForm form)
{
    static const char* const kSuffixes[] = {"-", "+", "%2B"};
    std::string tail = std::to_string(trackid) + kSuffixes[trackid % 3] + std::string(part);
    if (trackid % 3 == 2)
        tail += "%20x";
    switch (form)
    {
    case MagicForm::eNone:
        return {};
    case MagicForm::eSingle:
        return "ovr" + std::string(kColon) + tail;
    case MagicForm::eLong:
        return "ovr" + std::string(kColon) + std::string(40, 'Z') + std::string(kColon) + tail;
    case MagicForm::eSigned:
        break;
    }
    const std::string placeholder(trackid % 2 == 0 ? 8 : 6, 'Z');
    return "ovr" + std::string(kColon) + placeholder + std::string(kColon) + tail;
}

std::optional<std::string> RawMagicValue(std::string_view target)
{
    const std::size_t start = target.find("MAGIC=");
    if (start == target.npos)
        return std::nullopt;
    const std::size_t end = target.find('&', start + 6);
    if (end == target.npos)
        return std::nullopt;
    return std::string(target.substr(start + 6, end - start - 6));
}

bool IsSignedMagic(const std::optional<std::string>& received, std::string_view issued,
                   std::string_view uid)
{
    if (issued.empty())
        return !received;
    if (!received)
        return false;
    const auto want = SplitMagic(issued);
    if (!want)
        return *received == issued;
    const auto got = SplitMagic(*received);
    if (!got || got->prefix != want->prefix || got->suffix != want->suffix)
        return false;
    const std::size_t signedLength = std::min(want->placeholder.size(), kDigest);
    const std::string digits =
        host::Md5Hex(FormDecode(issued) + std::string(uid)).substr(0, signedLength);
    return got->placeholder == digits + std::string(want->placeholder.substr(signedLength));
}

std::string RetryToken(std::string_view address, std::string_view uid, uint64_t offset)
{
    const std::string decoded = FormDecode(address);
    const std::size_t magic = decoded.find("MAGIC=");
    if (magic == std::string::npos)
        return {};
    const std::size_t start = magic + 6;
    const std::size_t end = decoded.find('&', start);
    std::string value =
        decoded.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (value.find('%') != std::string::npos)
        value = FormDecode(value);
    return host::Md5Hex(std::string(uid) + value + std::to_string(offset) + "-" +
                        "Tuner Link Repair Note")
        .substr(0, 7);
}
} // namespace station
