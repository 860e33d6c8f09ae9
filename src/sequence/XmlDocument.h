// An XML document loaded from text, with its root element: the base of the readers of the
// servers' small XML answers. Loads without validation, network access or entity
// expansion. One thread at a time.
#pragma once

#include "platform/Xml.h"

#include <optional>
#include <string>

class CXmlDocument
{
public:
    CXmlDocument() = default;
    virtual ~CXmlDocument() = default;
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // A document exists (always, over libxml2).
    bool IsCreated() const { return true; }
    // Loads the text; without a root element it shows "Syntax Error Found in Loaded
    // Buffer!" and answers false.
    bool LoadFromBuffer(const char* pszText);
    // In the first element named tag below the root (the root itself is not searched),
    // the text of the first attribute whose name matches without regard to case; value
    // is left as it was when there is none.
    bool GetAttributeText(const char* pszTag, const char* pszAttribute, std::string& value) const;

private:
    platform::xml::Document m_doc;
    std::optional<platform::xml::Element> m_root;
};

// The session parameter file of the time server: <... ><INFO strTimeStamp="..."/></...>.
class CSessionParmsParser : public CXmlDocument
{
public:
    // Copies the time stamp text into out (nOutSize bytes, cut to fit) when it is found.
    void GetTimeStamp(char* pszOut, std::size_t nOutSize) const;
};
