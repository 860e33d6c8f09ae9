#include "CommandLine.h"

#include <algorithm>
#include <charconv>

std::optional<std::string> ReadCommandLine(const std::vector<std::string>& args,
                                           const std::vector<SCommandOption>& options)
{
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& strName = args[i];
        const auto option =
            std::find_if(options.begin(), options.end(),
                         [&](const SCommandOption& o) { return o.strName == strName; });
        if (option == options.end())
            return "unknown option \"" + strName + "\"";
        std::string strValue;
        if (option->bTakesValue)
        {
            if (i + 1 >= args.size())
                return strName + " needs a value";
            strValue = args[++i];
        }
        if (std::optional<std::string> problem = option->apply(strValue))
            return problem;
    }
    return std::nullopt;
}

std::optional<uint32_t> DecimalNumber(const std::string& strText, uint32_t nMin, uint32_t nMax)
{
    uint32_t value = 0;
    const char* pEnd = strText.data() + strText.size();
    const auto [pStop, error] = std::from_chars(strText.data(), pEnd, value);
    if (strText.empty() || error != std::errc() || pStop != pEnd || value < nMin || value > nMax)
        return std::nullopt;
    return value;
}
