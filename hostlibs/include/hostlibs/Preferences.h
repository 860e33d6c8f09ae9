// The host application's preferences library (libPreferences.so), loaded at run time by
// name. Settings are addressed by section and key and kept in
// $OVRADIO_HOME/preferences.ini. Every entry point returns 0 on success and a Windows
// error number on failure. Value type 1 is a string (the only type the engine uses).
#pragma once
#include <cstdint>

namespace hostlibs
{
inline constexpr std::uint32_t kPrefTypeString = 1;
inline constexpr std::uint32_t kPrefTypeUInt32 = 4;
inline constexpr const char* kPreferencesLibraryName = "libPreferences.so";
} // namespace hostlibs

extern "C"
{
    // Stores data (type 1: a string, size = its length + 1) under section and key.
    typedef std::int32_t (*PFN_PrefSetValue)(const char* section, const char* key,
                                             std::uint32_t type, const void* data,
                                             std::uint32_t size);
    // Stores a 32-bit number.
    typedef std::int32_t (*PFN_PrefSetValueUINT32)(const char* section, const char* key,
                                                   std::uint32_t value);
    // Reads a value into buffer; *size holds the buffer's size in bytes and receives the
    // bytes written (or needed, with 234 when the buffer is too small). An absent key
    // fails with 2 and leaves the buffer alone.
    typedef std::int32_t (*PFN_PrefQueryValue)(const char* section, const char* key,
                                               std::uint32_t* type, void* buffer,
                                               std::uint32_t* size);
    // Removes a key.
    typedef std::int32_t (*PFN_PrefDelete)(const char* section, const char* key);
    // Reads a string into buffer, which holds the caller's default; an absent key
    // returns 0 and leaves the default in place.
    typedef std::int32_t (*PFN_PrefEasySafeQueryString)(const char* section,
                                                        const char* key, char* buffer,
                                                        std::uint32_t* size);
    // Reads a 32-bit number into *value, which holds the caller's default; an absent key
    // returns 0 and leaves the default in place; a value that is not a number fails.
    typedef std::int32_t (*PFN_PrefEasySafeQueryUINT32)(const char* section,
                                                        const char* key,
                                                        std::uint32_t* value);
}
