#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace testsupport
{
TempHome::TempHome()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ovradio-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    if (const char* old = std::getenv("OVRADIO_HOME"))
    {
        m_oldHome = old;
        m_hadOldHome = true;
    }
    setenv("OVRADIO_HOME", m_path.c_str(), 1);
}

TempHome::~TempHome()
{
    if (m_hadOldHome)
        setenv("OVRADIO_HOME", m_oldHome.c_str(), 1);
    else
        unsetenv("OVRADIO_HOME");
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
