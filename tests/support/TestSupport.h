// Fixtures shared by the test suites: a private runtime folder per test, so that no test
// touches the user's $OVRADIO_HOME or another test's files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testsupport
{
// Sets (or, with null, clears) an environment variable for its lifetime and puts the old
// value back.
class ScopedEnv
{
public:
    ScopedEnv(const char* pszName, const char* pszValue);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Creates a fresh temporary folder, points OVRADIO_HOME at it, and removes it again.
class TempHome
{
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
    std::optional<ScopedEnv> m_home;
};

// The permission bits of the path itself (a link is not followed); 0 when it is missing.
unsigned ModeOf(const std::filesystem::path& path);
// The inode of the file, which changes when a new file is renamed over it; 0 when missing.
unsigned long InodeOf(const std::filesystem::path& path);

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);
// The lines of a text, without their line ends.
std::vector<std::string> LinesOf(const std::string& text);
} // namespace testsupport
