// The preferences file: [Section] lines, then Key=Value lines; sections and keys are
// matched without regard to case; a section may come in several blocks, and the first
// line of a key is the one that counts. Blank lines, lines starting with ';' or '#' and
// lines that are none of these are ignored when read. A change writes the file as the
// user wrote it but for the one line it changes (a value replaced in place, a new key at
// the end of its section's first block, a new section at the end): comments, order,
// unknown and duplicate keys and line ends all stay. Reads take no lock; a change that
// changes nothing writes nothing and takes no lock, any other rewrites the file under its
// lock file, durably (see platform/StoredFile.h).
#pragma once
#include <optional>
#include <string>

namespace hostlibs
{
// The path: $OVRADIO_HOME/preferences.ini.
std::string PreferencesFilePath();

// The value of a key in the text; nothing when absent.
std::optional<std::string> FindPreference(const std::string& strText, const std::string& strSection,
                                          const std::string& strKey);
// The text with the key set to the value (or, with nothing, every line of the key
// removed); nothing when that changes nothing (the key holds the value already, or is
// absent for a removal).
std::optional<std::string> ChangePreference(const std::string& strText,
                                            const std::string& strSection,
                                            const std::string& strKey,
                                            const std::optional<std::string>& value);

// The stored text of a key; nothing when absent. Throws platform::StoredFileError.
std::optional<std::string> ReadPreference(const std::string& strSection, const std::string& strKey);
// Sets (or, with nothing, removes) a key; false when the key was absent for a removal.
// Throws platform::StoredFileError.
bool WritePreference(const std::string& strSection, const std::string& strKey,
                     const std::optional<std::string>& value);
} // namespace hostlibs
