#include "platform/Registry.h"

#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"
#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>

namespace platform
{
namespace
{
constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::array<std::string_view, 2> kHiveNames = {"HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT"};

// ---- names ----

constexpr char FoldCase(char c)
{
    return AsciiLower(c);
}

std::string Folded(std::string_view text)
{
    return AsciiLowerCopy(text);
}

bool SameName(std::string_view a, std::string_view b)
{
    return EqualsNoCase(a, b);
}

// The components of a key path; empty ones (stray backslashes) are dropped.
std::vector<std::string> SplitPath(std::string_view path)
{
    std::vector<std::string> parts;
    std::size_t nStart = 0;
    while (nStart <= path.size())
    {
        std::size_t nEnd = path.find('\\', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = path.size();
        if (nEnd > nStart)
            parts.emplace_back(path.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return parts;
}

// A key name must fit on its key line.
bool IsWritableKeyName(std::string_view name)
{
    return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// ---- the tree ----

// Deeper keys are refused, as Windows' registry refuses keys below 512 levels: the limit
// keeps every walk over the tree short, whatever a file holds.
constexpr std::size_t kMaxKeyDepth = 512;

// What a change did to the tree.
enum class EChange
{
    eFailed,    // the operation fails; nothing is written
    eUnchanged, // it succeeds without changing anything; nothing is written
    eChanged    // the file is written
};

bool SameData(const std::variant<std::string, DWORD>& a, const std::variant<std::string, DWORD>& b)
{
    return a == b;
}

// A key's subkeys are found by their case-folded name in a sorted map, so a file of many
// siblings reads in n log n rather than n squared, and the map's order is the order in
// which they are written. Values keep the order they were created in, with an index by
// folded name beside them.
struct Key
{
    std::string name;                  // as first written
    std::vector<RegistryValue> values; // the default value, when present, first
    std::unordered_map<std::string, std::size_t> valueIndex; // folded name -> position
    std::map<std::string, std::unique_ptr<Key>> subkeys;     // folded name -> key

    Key* FindSubkey(std::string_view subName) const
    {
        const auto it = subkeys.find(Folded(subName));
        return it != subkeys.end() ? it->second.get() : nullptr;
    }

    Key& SubkeyOrNew(std::string_view subName)
    {
        std::unique_ptr<Key>& pKey = subkeys[Folded(subName)];
        if (!pKey)
        {
            pKey = std::make_unique<Key>();
            pKey->name = std::string(subName);
        }
        return *pKey;
    }

    bool EraseSubkey(std::string_view subName) { return subkeys.erase(Folded(subName)) > 0; }

    RegistryValue* FindValue(std::string_view valueName)
    {
        const auto it = valueIndex.find(Folded(valueName));
        return it != valueIndex.end() ? &values[it->second] : nullptr;
    }

    const RegistryValue* FindValue(std::string_view valueName) const
    {
        return const_cast<Key*>(this)->FindValue(valueName);
    }

    // eUnchanged when the value holds the data already.
    EChange SetValue(std::string_view valueName, std::variant<std::string, DWORD> data)
    {
        if (RegistryValue* pValue = FindValue(valueName))
        {
            if (SameData(pValue->data, data))
                return EChange::eUnchanged;
            pValue->data = std::move(data);
            return EChange::eChanged;
        }
        if (valueName.empty())
        {
            values.insert(values.begin(), RegistryValue{"", std::move(data)});
            Reindex();
        }
        else
        {
            valueIndex.emplace(Folded(valueName), values.size());
            values.push_back(RegistryValue{std::string(valueName), std::move(data)});
        }
        return EChange::eChanged;
    }

    bool EraseValue(std::string_view valueName)
    {
        const auto it = valueIndex.find(Folded(valueName));
        if (it == valueIndex.end())
            return false;
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(it->second));
        Reindex();
        return true;
    }

    void Reindex()
    {
        valueIndex.clear();
        for (std::size_t i = 0; i < values.size(); ++i)
            valueIndex.emplace(Folded(values[i].name), i);
    }
};

struct Tree
{
    std::array<Key, 2> roots;

    Key& Root(Hive hive) { return roots[static_cast<std::size_t>(hive)]; }

    Key* Find(Hive hive, std::string_view path)
    {
        Key* pKey = &Root(hive);
        for (const std::string& part : SplitPath(path))
        {
            pKey = pKey->FindSubkey(part);
            if (pKey == nullptr)
                return nullptr;
        }
        return pKey;
    }

    const Key* Find(Hive hive, std::string_view path) const
    {
        return const_cast<Tree*>(this)->Find(hive, path);
    }

    // Creates the chain; null when a name cannot be written or the key would lie deeper
    // than the limit. Tells whether it made a key.
    Key* FindOrCreate(Hive hive, std::string_view path, bool& bCreated)
    {
        const std::vector<std::string> parts = SplitPath(path);
        if (parts.size() > kMaxKeyDepth)
            return nullptr;
        Key* pKey = &Root(hive);
        for (const std::string& part : parts)
        {
            if (!IsWritableKeyName(part))
                return nullptr;
            Key& parent = *pKey;
            const std::size_t nBefore = parent.subkeys.size();
            pKey = &parent.SubkeyOrNew(part);
            bCreated = bCreated || parent.subkeys.size() != nBefore;
        }
        return pKey;
    }
};

// ---- reading the text ----

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r'))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

void SkipBlanks(std::string_view& text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
}

// Parses the file text into a tree; throws RegistryError naming the first bad line.
class Parser
{
public:
    Tree Parse(std::string_view text)
    {
        if (text.empty())
            return std::move(m_tree); // an empty file holds no keys; nothing in it can be lost
        std::size_t nStart = 0;
        while (nStart < text.size())
        {
            std::size_t nEnd = text.find('\n', nStart);
            if (nEnd == std::string_view::npos)
                nEnd = text.size();
            ++m_nLine;
            ParseLine(TrimBlanks(text.substr(nStart, nEnd - nStart)));
            nStart = nEnd + 1;
        }
        return std::move(m_tree);
    }

private:
    [[noreturn]] void Fail(const std::string& reason) const
    {
        throw RegistryError("line " + std::to_string(m_nLine) + ": " + reason);
    }

    void ParseLine(std::string_view line)
    {
        if (m_nLine == 1)
        {
            if (line != kHeader)
                Fail("the first line is not REGEDIT4");
            return;
        }
        if (line.empty() || line.front() == ';')
            return;
        if (line.front() == '[')
            ParseKeyLine(line);
        else if (line.front() == '"' || line.front() == '@')
            ParseValueLine(line);
        else
            Fail("neither a key nor a value");
    }

    void ParseKeyLine(std::string_view line)
    {
        if (line.back() != ']')
            Fail("a key line without its closing bracket");
        const std::string_view path = line.substr(1, line.size() - 2);
        const std::size_t nSlash = path.find('\\');
        const std::string_view hiveName = path.substr(0, nSlash);
        const auto it = std::find_if(kHiveNames.begin(), kHiveNames.end(),
                                     [&](std::string_view h) { return SameName(h, hiveName); });
        if (it == kHiveNames.end())
            Fail("an unknown root key");
        m_pKey = &m_tree.roots[static_cast<std::size_t>(it - kHiveNames.begin())];
        if (nSlash == std::string_view::npos)
            return;
        const std::string_view rest = path.substr(nSlash + 1);
        std::size_t nStart = 0;
        for (std::size_t nDepth = 1;; ++nDepth)
        {
            const std::size_t nEnd = std::min(rest.find('\\', nStart), rest.size());
            if (nEnd == nStart)
                Fail("an empty key name");
            if (nDepth > kMaxKeyDepth)
                Fail("a key nested deeper than " + std::to_string(kMaxKeyDepth) + " levels");
            m_pKey = &m_pKey->SubkeyOrNew(rest.substr(nStart, nEnd - nStart));
            if (nEnd == rest.size())
                break;
            nStart = nEnd + 1;
        }
    }

    void ParseValueLine(std::string_view line)
    {
        if (m_pKey == nullptr)
            Fail("a value before the first key");
        std::string name;
        if (line.front() == '@')
            line.remove_prefix(1);
        else
            name = ReadQuoted(line);
        SkipBlanks(line);
        if (line.empty() || line.front() != '=')
            Fail("a value name without '='");
        line.remove_prefix(1);
        SkipBlanks(line);
        m_pKey->SetValue(name, ReadData(line));
    }

    std::variant<std::string, DWORD> ReadData(std::string_view data)
    {
        if (!data.empty() && data.front() == '"')
        {
            std::string text = ReadQuoted(data);
            if (!data.empty())
                Fail("text after a quoted value");
            return text;
        }
        constexpr std::string_view kDword = "dword:";
        if (data.size() > kDword.size() && SameName(data.substr(0, kDword.size()), kDword))
            return ReadHex(data.substr(kDword.size()));
        Fail("a value of unknown type");
    }

    DWORD ReadHex(std::string_view digits)
    {
        if (digits.empty() || digits.size() > 8)
            Fail("a dword value without 1 to 8 hexadecimal digits");
        DWORD dwValue = 0;
        for (char c : digits)
        {
            const char lower = FoldCase(c);
            if (lower >= '0' && lower <= '9')
                dwValue = dwValue * 16 + static_cast<DWORD>(lower - '0');
            else if (lower >= 'a' && lower <= 'f')
                dwValue = dwValue * 16 + static_cast<DWORD>(lower - 'a' + 10);
            else
                Fail("a dword value with a character that is not hexadecimal");
        }
        return dwValue;
    }

    // Reads "..." from the front of the text, undoing the escapes; leaves the rest.
    std::string ReadQuoted(std::string_view& text)
    {
        std::string result;
        std::size_t i = 1;
        for (; i < text.size() && text[i] != '"'; ++i)
        {
            if (text[i] != '\\')
            {
                result += text[i];
                continue;
            }
            if (++i == text.size())
                break;
            result += Unescaped(text[i]);
        }
        if (i >= text.size())
            Fail("a quoted text without its closing quote");
        text.remove_prefix(i + 1);
        return result;
    }

    char Unescaped(char c) const
    {
        switch (c)
        {
        case '\\':
            return '\\';
        case '"':
            return '"';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case '0':
            return '\0';
        default:
            Fail(std::string("an unknown escape \\") + c);
        }
    }

    Tree m_tree;
    Key* m_pKey = nullptr; // the key of the last key line
    std::size_t m_nLine = 0;
};

// ---- writing the text ----

std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        switch (c)
        {
        case '\\':
            quoted += "\\\\";
            break;
        case '"':
            quoted += "\\\"";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\0':
            quoted += "\\0";
            break;
        default:
            quoted += c;
        }
    }
    return quoted + '"';
}

std::string DwordText(DWORD dwValue)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "dword:00000000";
    for (std::size_t i = text.size(); dwValue != 0; dwValue >>= 4)
        text[--i] = kDigits[dwValue & 0xF];
    return text;
}

// The key line and the value lines of one key.
void WriteKeyLines(std::string& out, const std::string& path, const Key& key)
{
    out += '[';
    out += path;
    out += "]\n";
    for (const RegistryValue& value : key.values)
    {
        out += value.name.empty() ? std::string("@") : Quoted(value.name);
        out += '=';
        if (const auto* pText = std::get_if<std::string>(&value.data))
            out += Quoted(*pText);
        else
            out += DwordText(std::get<DWORD>(value.data));
        out += '\n';
    }
    out += '\n';
}

// The keys of a tree parent first, subkeys in their sorted order. A root is written only
// to hold values; every other key is written, so that empty keys survive. The walk keeps
// its own stack and extends one path text, so neither a deep tree nor a long path costs
// more than the text written.
void WriteTree(std::string& out, std::string path, const Key& root)
{
    struct SFrame
    {
        const Key* pKey;
        std::map<std::string, std::unique_ptr<Key>>::const_iterator itNext;
        std::size_t nPathLength;
    };
    if (!root.values.empty())
        WriteKeyLines(out, path, root);
    std::vector<SFrame> stack{{&root, root.subkeys.begin(), path.size()}};
    while (!stack.empty())
    {
        SFrame& top = stack.back();
        if (top.itNext == top.pKey->subkeys.end())
        {
            stack.pop_back();
            continue;
        }
        const Key& sub = *(top.itNext++)->second;
        path.resize(top.nPathLength);
        path += '\\';
        path += sub.name;
        WriteKeyLines(out, path, sub);
        stack.push_back({&sub, sub.subkeys.begin(), path.size()});
    }
}

std::string Serialize(const Tree& tree)
{
    std::string out = std::string(kHeader) + "\n\n";
    for (std::size_t i = 0; i < kHiveNames.size(); ++i)
        WriteTree(out, std::string(kHiveNames[i]), tree.roots[i]);
    return out;
}

// ---- the file ----

void Report(const std::string& path, const std::string& problem)
{
    DebugOutput("platform::Registry - " + path + ": " + problem + "\n");
}

// The whole file; empty when it does not exist. Throws RegistryError when unreadable.
std::string ReadText(const std::string& path)
{
    try
    {
        return ReadStoredFile(path);
    }
    catch (const StoredFileError& e)
    {
        throw RegistryError(e.what());
    }
}

Tree ParseText(const std::string& text)
{
    try
    {
        return Parser().Parse(text);
    }
    catch (const RegistryError& e)
    {
        throw RegistryError(std::string("damaged at ") + e.what() + "; left as it is");
    }
}

Tree LoadTree(const std::string& path)
{
    return ParseText(ReadText(path));
}

// One change. It is tried first on the file as it is, without the lock: a change that
// would change nothing (a value set to what it holds, a key that exists) ends there, and
// a start that only confirms its settings writes nothing and takes no lock. Otherwise,
// under the lock: the current file, the change, the new file.
bool Change(const std::function<EChange(Tree&)>& apply)
{
    const std::string path = Registry::FilePath();
    try
    {
        {
            Tree current = LoadTree(path);
            const EChange outcome = apply(current);
            if (outcome != EChange::eChanged)
                return outcome == EChange::eUnchanged;
        }
        const StoredFileLock lock(path);
        Tree tree = LoadTree(path);
        const EChange outcome = apply(tree);
        if (outcome == EChange::eChanged)
            ReplaceStoredFile(path, Serialize(tree));
        return outcome != EChange::eFailed;
    }
    catch (const std::runtime_error& e)
    {
        Report(path, e.what());
        return false;
    }
}

EChange Outcome(bool bSucceeded)
{
    return bSucceeded ? EChange::eChanged : EChange::eFailed;
}

// The current tree for a query; null (and a report) when the file is damaged. A start
// asks the registry dozens of times; the tree of a file that has not changed for a while
// is parsed once.
std::shared_ptr<const Tree> CurrentTree()
{
    // Never destroyed: threads that outlive main may still ask.
    static auto* cache = new SettledFileCache<Tree>;
    const std::string path = Registry::FilePath();
    try
    {
        return cache->Get(path, ParseText);
    }
    catch (const std::runtime_error& e) // RegistryError, StoredFileError
    {
        Report(path, e.what());
        return nullptr;
    }
}

std::optional<RegistryValue> FindValue(Hive hive, const std::string& path, const std::string& name)
{
    const auto tree = CurrentTree();
    const Key* pKey = tree ? tree->Find(hive, path) : nullptr;
    const RegistryValue* pValue = pKey != nullptr ? pKey->FindValue(name) : nullptr;
    if (pValue == nullptr)
        return std::nullopt;
    return *pValue;
}

bool SetValue(Hive hive, const std::string& path, const std::string& name,
              std::variant<std::string, DWORD> data)
{
    return Change(
        [&](Tree& tree)
        {
            bool bCreated = false;
            Key* pKey = tree.FindOrCreate(hive, path, bCreated);
            if (pKey == nullptr)
                return EChange::eFailed;
            const EChange outcome = pKey->SetValue(name, data);
            return bCreated ? EChange::eChanged : outcome;
        });
}
} // namespace

namespace Registry
{
std::string FilePath()
{
    return RuntimeFolder() + "/registry.reg";
}

void Validate()
{
    try
    {
        LoadTree(FilePath());
    }
    catch (const RegistryError& e)
    {
        throw RegistryError(FilePath() + ": " + e.what());
    }
}

bool KeyExists(Hive hive, const std::string& path)
{
    const auto tree = CurrentTree();
    return tree && tree->Find(hive, path) != nullptr;
}

bool CreateKey(Hive hive, const std::string& path)
{
    return Change(
        [&](Tree& tree)
        {
            bool bCreated = false;
            if (tree.FindOrCreate(hive, path, bCreated) == nullptr)
                return EChange::eFailed;
            return bCreated ? EChange::eChanged : EChange::eUnchanged;
        });
}

bool DeleteKey(Hive hive, const std::string& path)
{
    std::vector<std::string> parts = SplitPath(path);
    if (parts.empty())
        return false;
    const std::string last = parts.back();
    parts.pop_back();
    return Change(
        [&](Tree& tree)
        {
            Key* pParent = &tree.Root(hive);
            for (const std::string& part : parts)
                if ((pParent = pParent->FindSubkey(part)) == nullptr)
                    return EChange::eFailed;
            return Outcome(pParent->EraseSubkey(last));
        });
}

std::optional<std::string> QueryString(Hive hive, const std::string& path, const std::string& name)
{
    auto value = FindValue(hive, path, name);
    if (!value || !std::holds_alternative<std::string>(value->data))
        return std::nullopt;
    return std::get<std::string>(std::move(value->data));
}

std::optional<DWORD> QueryDword(Hive hive, const std::string& path, const std::string& name)
{
    const auto value = FindValue(hive, path, name);
    if (!value || !std::holds_alternative<DWORD>(value->data))
        return std::nullopt;
    return std::get<DWORD>(value->data);
}

bool SetString(Hive hive, const std::string& path, const std::string& name,
               const std::string& value)
{
    return SetValue(hive, path, name, value);
}

bool SetDword(Hive hive, const std::string& path, const std::string& name, DWORD value)
{
    return SetValue(hive, path, name, value);
}

bool DeleteValue(Hive hive, const std::string& path, const std::string& name)
{
    return Change(
        [&](Tree& tree)
        {
            Key* pKey = tree.Find(hive, path);
            return Outcome(pKey != nullptr && pKey->EraseValue(name));
        });
}

std::vector<std::string> SubKeys(Hive hive, const std::string& path)
{
    std::vector<std::string> names;
    const auto tree = CurrentTree();
    if (const Key* pKey = tree ? tree->Find(hive, path) : nullptr)
        for (const auto& entry : pKey->subkeys)
            names.push_back(entry.second->name);
    return names;
}

std::vector<RegistryValue> Values(Hive hive, const std::string& path)
{
    const auto tree = CurrentTree();
    const Key* pKey = tree ? tree->Find(hive, path) : nullptr;
    return pKey != nullptr ? pKey->values : std::vector<RegistryValue>{};
}
} // namespace Registry
} // namespace platform
