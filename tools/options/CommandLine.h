// A tool's command line read against a table of its options: "--name VALUE" options and
// "--name" switches, in any order. Each entry applies its value to what the tool keeps
// and may refuse it with a text saying why; reading stops at the first problem. A plain
// function of its arguments: it has no side effects beyond the entries' own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct SCommandOption
{
    std::string strName; // "--station"
    bool bTakesValue;    // false for a switch, whose apply gets an empty value
    // Applies the value; a text saying what is wrong with it, or nothing.
    std::function<std::optional<std::string>(const std::string& strValue)> apply;
};

// args without the program name. Nothing when every argument was an option of the table
// with its value; otherwise what is wrong ("unknown option ...", "--x needs a value", or
// an entry's own text).
std::optional<std::string> ReadCommandLine(const std::vector<std::string>& args,
                                           const std::vector<SCommandOption>& options);

// A decimal number without sign or blanks, within [nMin, nMax]; nothing otherwise.
std::optional<uint32_t> DecimalNumber(const std::string& strText, uint32_t nMin, uint32_t nMax);
