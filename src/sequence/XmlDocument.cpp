#include "sequence/XmlDocument.h"

#include "platform/AsciiText.h"
#include "platform/MessageBox.h"

#include <cstring>

bool CXmlDocument::LoadFromBuffer(const char* pszText)
{
    m_root.reset();
    if (pszText && m_doc.LoadFromBuffer(pszText))
        m_root = m_doc.Root();
    if (!m_root)
    {
        platform::MessageBox("Syntax Error Found in Loaded Buffer!", "Error", platform::MB_OK);
        return false;
    }
    return true;
}

bool CXmlDocument::GetAttributeText(const char* pszTag, const char* pszAttribute,
                                    std::string& value) const
{
    if (!m_root)
        return false;
    const std::optional<platform::xml::Element> element = m_root->FirstDescendant(pszTag);
    if (!element)
        return false;
    const std::optional<std::string> text = element->AttributeNoCase(pszAttribute);
    if (!text)
        return false;
    value = *text;
    return true;
}

void CSessionParmsParser::GetTimeStamp(char* pszOut, std::size_t nOutSize) const
{
    std::string text;
    if (nOutSize == 0 || !GetAttributeText("INFO", "strTimeStamp", text))
        return;
    const std::size_t nCopy = std::min(text.size(), nOutSize - 1);
    std::memcpy(pszOut, text.data(), nCopy);
    pszOut[nCopy] = '\0';
}
