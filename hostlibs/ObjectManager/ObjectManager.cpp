// The object manager: makes the utility objects by name and destroys them on release.
// OMInit/OMTerm nest; objects can be made only between them. Safe from any thread.
#include "hostlibs/ObjectManager.h"

#include "platform/AsciiText.h"
#include "platform/Mutex.h"
#include "platform/Registry.h"

#include <memory>
#include <set>

namespace
{
// "RegSetUtilCMN": string values below a base key of HKEY_LOCAL_MACHINE.
class CSettingUtilities final : public miSettingUtilities
{
public:
    bool QueryString(const char* subkey, const char* valueName, std::string& value) override
    {
        std::string strPath = m_strBaseKey;
        if (subkey && *subkey)
        {
            if (!strPath.empty() && strPath.back() != '\\')
                strPath += '\\';
            strPath += subkey;
        }
        try
        {
            std::optional<std::string> stored = platform::Registry::QueryString(
                platform::Hive::LocalMachine, strPath, valueName ? valueName : "");
            if (!stored)
                return false;
            value = *stored;
            return true;
        }
        catch (const std::exception&)
        {
            return false;
        }
    }

    void SetBaseKey(const char* path) override { m_strBaseKey = path ? path : ""; }

private:
    std::string m_strBaseKey;
};

// "StringUtilCMN".
class CStringUtilities final : public miStringUtilities
{
public:
    std::string TrimLeadingChar(const std::string& text, char character) override
    {
        std::size_t nStart = text.find_first_not_of(character);
        return nStart == std::string::npos ? std::string() : text.substr(nStart);
    }

    std::string TrimTrailingChar(const std::string& text, char character) override
    {
        std::size_t nEnd = text.find_last_not_of(character);
        return nEnd == std::string::npos ? std::string() : text.substr(0, nEnd + 1);
    }
};

struct SManager
{
    platform::Mutex lock;
    int nInits OVR_GUARDED_BY(lock) = 0;
    std::set<miInterface*> objects OVR_GUARDED_BY(lock); // made and not yet released
};

SManager& Manager()
{
    static SManager s_manager;
    return s_manager;
}

std::unique_ptr<miInterface> MakeObject(const char* name)
{
    if (platform::EqualsNoCase(name, "RegSetUtilCMN"))
        return std::make_unique<CSettingUtilities>();
    if (platform::EqualsNoCase(name, "StringUtilCMN"))
        return std::make_unique<CStringUtilities>();
    // "TrackUtilCMN", "LocaleUtilCMN" and "FileUtilCMN" belong to the player itself.
    return nullptr;
}
} // namespace

extern "C"
{
    void OMInit()
    {
        SManager& manager = Manager();
        platform::MutexLock lock(manager.lock);
        ++manager.nInits;
    }

    bool OMCreateObject(const char* name, const char*, bool, miInterface** object)
    {
        if (!name || !object)
            return false;
        SManager& manager = Manager();
        platform::MutexLock lock(manager.lock);
        if (manager.nInits == 0)
            return false;
        std::unique_ptr<miInterface> made = MakeObject(name);
        if (!made)
            return false;
        *object = made.release();
        manager.objects.insert(*object);
        return true;
    }

    bool OMReleaseObjectRef(miInterface* object, bool* out)
    {
        SManager& manager = Manager();
        std::unique_ptr<miInterface> owned;
        {
            platform::MutexLock lock(manager.lock);
            if (manager.objects.erase(object) == 0)
            {
                if (out)
                    *out = false;
                return false;
            }
            owned.reset(object);
        }
        if (out)
            *out = true;
        return true;
    }

    void OMTerm()
    {
        SManager& manager = Manager();
        platform::MutexLock lock(manager.lock);
        if (manager.nInits > 0)
            --manager.nInits;
    }
}
