#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport
{
namespace
{
// The tests and the programs they run never start a trace viewer of their own: the
// engine would find the build's ovdiag and leave it running after the tests. Tests of the
// start clear this for themselves.
[[maybe_unused]] const bool g_bNoViewerStart = ::setenv("OVDIAG_NOSTART", "1", 0) == 0;
} // namespace

ScopedEnv::ScopedEnv(const char* pszName, const char* pszValue) : m_name(pszName)
{
    if (const char* pszOld = std::getenv(pszName))
        m_old = pszOld;
    if (pszValue != nullptr)
        ::setenv(pszName, pszValue, 1);
    else
        ::unsetenv(pszName);
}

ScopedEnv::~ScopedEnv()
{
    if (m_old)
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

unsigned ModeOf(const std::filesystem::path& path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

unsigned long InodeOf(const std::filesystem::path& path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TempHome::TempHome()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ovradio-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    m_home.emplace("OVRADIO_HOME", m_path.c_str());
}

TempHome::~TempHome()
{
    m_home.reset();
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
} // namespace testsupport
