// The preferences file: [Section] lines, then Key=Value lines; sections and keys are
// matched without regard to case; blank lines and lines starting with ';' or '#' are
// ignored (and not kept when the file is rewritten). Reads take no lock; a change
// rewrites the file under its lock file (see platform/StoredFile.h).
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace hostlibs
{
struct SPrefSection
{
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
};

// The path: $OVRADIO_HOME/preferences.ini.
std::string PreferencesFilePath();

std::vector<SPrefSection> ParsePreferences(const std::string& strText);
std::string SerializePreferences(const std::vector<SPrefSection>& sections);

// The stored text of a key; nothing when absent. Throws platform::StoredFileError.
std::optional<std::string> ReadPreference(const std::string& strSection,
                                          const std::string& strKey);
// Sets (or, with nothing, removes) a key; false when the key was absent for a removal.
// Throws platform::StoredFileError.
bool WritePreference(const std::string& strSection, const std::string& strKey,
                     const std::optional<std::string>& value);
} // namespace hostlibs
