// The registry: the file registry.reg in the runtime folder, in REGEDIT4 text form, with
// the trees HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT. Key and value names compare
// without regard to ASCII letter case and keep the case they were first written with.
// Key paths use backslashes ("SOFTWARE\\Orvale\\Orvale Deck"); empty components (a
// leading, trailing or doubled backslash) are ignored, and "" is the tree's root.
// A change that changes nothing (a value set to what it holds, a key that exists) writes
// nothing and takes no lock. Every other change takes the lock file registry.reg.lock
// (flock, which also excludes the other threads of this process), reads the current file,
// applies the change, and replaces registry.reg durably (platform/StoredFile.h: a synced
// temporary renamed over it, mode 0600), so concurrent writers in any number of processes
// never lose each other's writes and a crash never leaves half a file. Reads need no
// lock: the file is only ever replaced whole. Callable from any thread; a change blocks
// while another thread or process changes the file (no limit: a change takes
// milliseconds), a read never blocks. Reading and writing take time in proportion to the
// file (n log n in its keys), and keys lie at most 512 levels deep.
// A file that cannot be parsed (a first line other than REGEDIT4, a line that is not a
// key, a value, a comment or blank, a key deeper than 512 levels) is reported through
// DebugOutput and left as it is: changes fail without writing and queries answer nothing
// until someone repairs it.
//
// The file, as written: "REGEDIT4", a blank line, then each key as a line
// [HKEY_LOCAL_MACHINE\SOFTWARE\Orvale] followed by its values and a blank line. Values
// are "Name"="text", "Name"=dword:0000002a, and @="text" for the default value (first).
// In quoted text a backslash is written \\, a quote \", a line feed \n, a carriage return
// \r and a NUL \0. Keys come parent first, subkeys sorted without regard to case, the
// local machine tree before the classes root; values in the order they were created.
// Reading also takes CR LF line ends, blanks around '=', upper-case hexadecimal and
// shorter dword digits, and ';' comment lines (which a change does not keep).
#pragma once

#include "platform/Types.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace platform
{
enum class Hive
{
    LocalMachine,
    ClassesRoot
};

// A damaged registry file, or one that cannot be read or written.
class RegistryError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct RegistryValue
{
    std::string name; // empty for the key's default value ("@")
    std::variant<std::string, DWORD> data;
};

namespace Registry
{
// The file path: $OVRADIO_HOME/registry.reg (see RuntimeFolder()).
std::string FilePath();

// Throws RegistryError saying what is wrong when the file is damaged or unreadable; a
// missing file is an empty registry and is fine.
void Validate();

bool KeyExists(Hive hive, const std::string& path);
// Creates the key and every missing key above it. Returns false when the file is damaged
// or cannot be written, when a key name holds a line break or NUL, or when the key would
// lie deeper than 512 levels.
bool CreateKey(Hive hive, const std::string& path);
// Deletes the key with every subkey and value. False when it did not exist (the root
// "" is never deleted).
bool DeleteKey(Hive hive, const std::string& path);

// Name "" is the default value. Nothing when the key or value is absent or of the other type.
std::optional<std::string> QueryString(Hive hive, const std::string& path, const std::string& name);
std::optional<DWORD> QueryDword(Hive hive, const std::string& path, const std::string& name);
// Setting a value creates the key chain as needed; a value of the other type is replaced.
// False on a damaged or unwritable file.
bool SetString(Hive hive, const std::string& path, const std::string& name,
               const std::string& value);
bool SetDword(Hive hive, const std::string& path, const std::string& name, DWORD value);
// False when the key or the value did not exist.
bool DeleteValue(Hive hive, const std::string& path, const std::string& name);

// Direct subkey names (as written, sorted without regard to case) and values (in the
// order created, the default value first) of a key; empty when the key is absent.
std::vector<std::string> SubKeys(Hive hive, const std::string& path);
std::vector<RegistryValue> Values(Hive hive, const std::string& path);
} // namespace Registry
} // namespace platform
