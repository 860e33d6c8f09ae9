#include "SessionOptions.h"

namespace
{
// An option whose value is kept as it stands; *pbGiven (when asked for) notes that it came.
SCommandOption Text(const char* pszName, std::string& strField, bool* pbGiven = nullptr)
{
    return {pszName, true,
            [&strField, pbGiven](const std::string& strValue) -> std::optional<std::string>
            {
                strField = strValue;
                if (pbGiven)
                    *pbGiven = true;
                return std::nullopt;
            }};
}
} // namespace

std::vector<SCommandOption> SessionOptionTable(SSessionOptions& options)
{
    return {Text("--station", options.strStation), Text("--name", options.strName, &options.bNamed),
            Text("--afd", options.strAFD), Text("--ccd", options.strCCD),
            Text("--user-info", options.strUserInfo)};
}

std::optional<std::string> FinishSessionOptions(SSessionOptions& options)
{
    if (options.strStation.empty())
        return std::string("--station is needed");
    if (!options.bNamed)
        options.strName = options.strStation;
    return std::nullopt;
}
