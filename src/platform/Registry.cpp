#include "platform/Registry.h"

#include "platform/StoredFile.h"

#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"
#include "platform/RuntimeFolder.h"

#include <algorithm>
#include <functional>
#include <string_view>

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

struct Key
{
    std::string name;                  // as first written
    std::vector<RegistryValue> values; // the default value, when present, first
    std::vector<Key> subkeys;          // in the order created

    Key* FindSubkey(std::string_view subName)
    {
        for (Key& key : subkeys)
            if (SameName(key.name, subName))
                return &key;
        return nullptr;
    }

    Key& SubkeyOrNew(std::string_view subName)
    {
        if (Key* pKey = FindSubkey(subName))
            return *pKey;
        subkeys.push_back(Key{std::string(subName), {}, {}});
        return subkeys.back();
    }

    RegistryValue* FindValue(std::string_view valueName)
    {
        for (RegistryValue& value : values)
            if (SameName(value.name, valueName))
                return &value;
        return nullptr;
    }

    void SetValue(std::string_view valueName, std::variant<std::string, DWORD> data)
    {
        if (RegistryValue* pValue = FindValue(valueName))
            pValue->data = std::move(data);
        else if (valueName.empty())
            values.insert(values.begin(), RegistryValue{"", std::move(data)});
        else
            values.push_back(RegistryValue{std::string(valueName), std::move(data)});
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

    // Creates the chain; null when a name cannot be written.
    Key* FindOrCreate(Hive hive, std::string_view path)
    {
        Key* pKey = &Root(hive);
        for (const std::string& part : SplitPath(path))
        {
            if (!IsWritableKeyName(part))
                return nullptr;
            pKey = &pKey->SubkeyOrNew(part);
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
            return m_tree; // an empty file holds no keys; nothing in it can be lost
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
        return m_tree;
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
        while (true)
        {
            const std::size_t nEnd = std::min(rest.find('\\', nStart), rest.size());
            if (nEnd == nStart)
                Fail("an empty key name");
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

std::vector<const Key*> SortedSubkeys(const Key& key)
{
    std::vector<const Key*> sorted;
    for (const Key& sub : key.subkeys)
        sorted.push_back(&sub);
    std::sort(sorted.begin(), sorted.end(),
              [](const Key* a, const Key* b) { return Folded(a->name) < Folded(b->name); });
    return sorted;
}

void WriteKey(std::string& out, const std::string& path, const Key& key, bool bRoot)
{
    // A root is written only to hold values; every other key is written, so that empty
    // keys survive.
    if (!bRoot || !key.values.empty())
    {
        out += "[" + path + "]\n";
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
    for (const Key* pSub : SortedSubkeys(key))
        WriteKey(out, path + "\\" + pSub->name, *pSub, false);
}

std::string Serialize(const Tree& tree)
{
    std::string out = std::string(kHeader) + "\n\n";
    for (std::size_t i = 0; i < kHiveNames.size(); ++i)
        WriteKey(out, std::string(kHiveNames[i]), tree.roots[i], true);
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

// One change: under the lock, the current file, the change, the new file. The change
// answers the operation's result; the file is rewritten only when its text changes.
bool Change(const std::function<bool(Tree&)>& apply)
{
    const std::string path = Registry::FilePath();
    try
    {
        const StoredFileLock lock(path);
        const std::string original = ReadText(path);
        Tree tree = ParseText(original);
        if (!apply(tree))
            return false;
        const std::string text = Serialize(tree);
        if (text != original)
            ReplaceStoredFile(path, text);
        return true;
    }
    catch (const std::runtime_error& e)
    {
        Report(path, e.what());
        return false;
    }
}

// The current tree for a query; nothing (and a report) when the file is damaged.
std::optional<Tree> CurrentTree()
{
    const std::string path = Registry::FilePath();
    try
    {
        return LoadTree(path);
    }
    catch (const RegistryError& e)
    {
        Report(path, e.what());
        return std::nullopt;
    }
}

std::optional<RegistryValue> FindValue(Hive hive, const std::string& path, const std::string& name)
{
    auto tree = CurrentTree();
    Key* pKey = tree ? tree->Find(hive, path) : nullptr;
    RegistryValue* pValue = pKey != nullptr ? pKey->FindValue(name) : nullptr;
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
            Key* pKey = tree.FindOrCreate(hive, path);
            if (pKey == nullptr)
                return false;
            pKey->SetValue(name, data);
            return true;
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
    auto tree = CurrentTree();
    return tree && tree->Find(hive, path) != nullptr;
}

bool CreateKey(Hive hive, const std::string& path)
{
    return Change([&](Tree& tree) { return tree.FindOrCreate(hive, path) != nullptr; });
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
                    return false;
            auto& subkeys = pParent->subkeys;
            const auto it = std::find_if(subkeys.begin(), subkeys.end(),
                                         [&](const Key& key) { return SameName(key.name, last); });
            if (it == subkeys.end())
                return false;
            subkeys.erase(it);
            return true;
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
            if (pKey == nullptr)
                return false;
            auto& values = pKey->values;
            const auto it =
                std::find_if(values.begin(), values.end(),
                             [&](const RegistryValue& v) { return SameName(v.name, name); });
            if (it == values.end())
                return false;
            values.erase(it);
            return true;
        });
}

std::vector<std::string> SubKeys(Hive hive, const std::string& path)
{
    std::vector<std::string> names;
    auto tree = CurrentTree();
    if (const Key* pKey = tree ? tree->Find(hive, path) : nullptr)
        for (const Key* pSub : SortedSubkeys(*pKey))
            names.push_back(pSub->name);
    return names;
}

std::vector<RegistryValue> Values(Hive hive, const std::string& path)
{
    auto tree = CurrentTree();
    const Key* pKey = tree ? tree->Find(hive, path) : nullptr;
    return pKey != nullptr ? pKey->values : std::vector<RegistryValue>{};
}
} // namespace Registry
} // namespace platform
