// The host application's object manager (libObjectManager.so), linked by import. It
// creates utility objects by name; callers test the object for the interface they need
// (dynamic_cast) and release it through OMReleaseObjectRef. OMInit and OMTerm nest.
#pragma once
#include <string>

// The base of every object-manager interface.
class miInterface
{
public:
    virtual ~miInterface() = default;
};

// "RegSetUtilCMN": reads string values below a base key of HKEY_LOCAL_MACHINE in the
// registry file.
class miSettingUtilities : public virtual miInterface
{
public:
    // Reads valueName of the key baseKey + subkey; true when the value was read.
    virtual bool QueryString(const char* subkey, const char* valueName,
                             std::string& value) = 0;
    // Sets the key that later queries are relative to (with or without a final '\').
    virtual void SetBaseKey(const char* path) = 0;
};

// "StringUtilCMN": text helpers.
class miStringUtilities : public virtual miInterface
{
public:
    // The text without the run of character at its start.
    virtual std::string TrimLeadingChar(const std::string& text, char character) = 0;
    // The text without the run of character at its end.
    virtual std::string TrimTrailingChar(const std::string& text, char character) = 0;
};

extern "C"
{
    void OMInit();
    // Creates the object called name ("RegSetUtilCMN", "StringUtilCMN"); false for an
    // unknown name or when OMInit has not run. second and third are accepted and unused.
    bool OMCreateObject(const char* name, const char* second, bool third,
                        miInterface** object);
    // Releases an object made by OMCreateObject; *out (when given) is true when the
    // object was destroyed.
    bool OMReleaseObjectRef(miInterface* object, bool* out);
    void OMTerm();
}
