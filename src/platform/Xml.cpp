#include "platform/Xml.h"

#include "platform/AsciiText.h"
#include "platform/StoredFile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <mutex>

namespace platform::xml
{
namespace
{
// libxml2 must be set up once before threads use it.
void InitOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

const xmlChar* Xc(const std::string& text)
{
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

std::string AsString(const xmlChar* text)
{
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

std::string TakeText(xmlChar* text)
{
    std::string result = AsString(text);
    xmlFree(text);
    return result;
}

bool IsElement(const xmlNode* node)
{
    return node->type == XML_ELEMENT_NODE;
}

void CollectDescendants(xmlNode* parent, std::string_view name, std::vector<Element>& out,
                        bool firstOnly)
{
    for (xmlNode* child = parent->children; child; child = child->next)
    {
        if (!IsElement(child))
            continue;
        if (AsString(child->name) == name)
        {
            out.emplace_back(child);
            if (firstOnly)
                return;
        }
        CollectDescendants(child, name, out, firstOnly);
        if (firstOnly && !out.empty())
            return;
    }
}

// Whether the text opens with an XML declaration (after a byte order mark and blanks).
bool HasDeclaration(std::string_view text)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const auto first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && text.substr(first, 5) == "<?xml";
}
} // namespace

std::string Element::Name() const
{
    return AsString(m_node->name);
}

std::string Element::Text() const
{
    return TakeText(xmlNodeGetContent(m_node));
}

void Element::SetText(std::string_view text)
{
    const std::string value(text);
    // xmlNodeSetContent would read entity references in the text; the escaped form
    // stores it literally.
    xmlChar* escaped = xmlEncodeSpecialChars(m_node->doc, Xc(value));
    xmlNodeSetContent(m_node, escaped);
    xmlFree(escaped);
}

std::vector<std::pair<std::string, std::string>> Element::Attributes() const
{
    std::vector<std::pair<std::string, std::string>> result;
    for (xmlAttr* attr = m_node->properties; attr; attr = attr->next)
        result.emplace_back(AsString(attr->name),
                            TakeText(xmlNodeListGetString(m_node->doc, attr->children, 1)));
    return result;
}

std::optional<std::string> Element::AttributeNoCase(std::string_view name) const
{
    for (auto& [attrName, value] : Attributes())
        if (EqualsNoCase(attrName, name))
            return value;
    return std::nullopt;
}

std::vector<Element> Element::ChildElements() const
{
    std::vector<Element> result;
    for (xmlNode* child = m_node->children; child; child = child->next)
        if (IsElement(child))
            result.emplace_back(child);
    return result;
}

std::vector<Element> Element::Descendants(std::string_view name) const
{
    std::vector<Element> result;
    CollectDescendants(m_node, name, result, false);
    return result;
}

std::optional<Element> Element::FirstDescendant(std::string_view name) const
{
    std::vector<Element> result;
    CollectDescendants(m_node, name, result, true);
    if (result.empty())
        return std::nullopt;
    return result.front();
}

Element Element::AppendChild(std::string_view name)
{
    return Element(xmlNewChild(m_node, nullptr, Xc(std::string(name)), nullptr));
}

Document::Document()
{
    InitOnce();
}

Document::~Document()
{
    Reset();
}

void Document::Reset()
{
    if (m_doc)
        xmlFreeDoc(m_doc);
    m_doc = nullptr;
    m_bDeclaration = false;
}

bool Document::LoadFromBuffer(std::string_view text)
{
    Reset();
    m_doc =
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions);
    m_bDeclaration = m_doc && HasDeclaration(text);
    return m_doc != nullptr;
}

bool Document::LoadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        Reset();
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return LoadFromBuffer(text);
}

std::optional<Element> Document::Root() const
{
    xmlNode* root = m_doc ? xmlDocGetRootElement(m_doc) : nullptr;
    if (!root)
        return std::nullopt;
    return Element(root);
}

Element Document::CreateRoot(std::string_view name)
{
    Reset();
    m_doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    xmlNode* root = xmlNewDocNode(m_doc, nullptr, Xc(std::string(name)), nullptr);
    xmlDocSetRootElement(m_doc, root);
    return Element(root);
}

std::string Document::ToString() const
{
    if (!m_doc)
        return {};
    xmlBufferPtr buffer = xmlBufferCreate();
    xmlSaveCtxtPtr ctxt = xmlSaveToBuffer(buffer, nullptr, m_bDeclaration ? 0 : XML_SAVE_NO_DECL);
    xmlSaveDoc(ctxt, m_doc);
    xmlSaveClose(ctxt);
    std::string text(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                     static_cast<std::size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    return text;
}

bool Document::Save(const std::string& path) const
{
    if (!m_doc)
        return false;
    try
    {
        ReplaceStoredFile(path, ToString());
        return true;
    }
    catch (const StoredFileError&)
    {
        return false;
    }
}
} // namespace platform::xml
