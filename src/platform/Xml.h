// A small XML DOM over libxml2, with the calls the engine's documents need: load from a
// buffer or a file, the document element, descendants by name, attributes, child
// elements, element text, creating and appending elements, saving. Parsing never
// touches the network, never loads external DTDs and never expands entities.
// A Document is used by one thread at a time; Elements are views into it, valid while
// it lives and the element is not removed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct _xmlNode;
struct _xmlDoc;

namespace platform::xml
{
class Element
{
public:
    explicit Element(_xmlNode* node) : m_node(node) {}

    std::string Name() const;
    // The text of the element and all below it, as DOM's text property gives it.
    std::string Text() const;
    // Replaces everything inside the element with the text.
    void SetText(std::string_view text);

    std::vector<std::pair<std::string, std::string>> Attributes() const;
    // The first attribute whose name matches without regard to ASCII case.
    std::optional<std::string> AttributeNoCase(std::string_view name) const;

    std::vector<Element> ChildElements() const;
    // Every element below this one (not itself) with exactly this name, in document order.
    std::vector<Element> Descendants(std::string_view name) const;
    std::optional<Element> FirstDescendant(std::string_view name) const;
    Element AppendChild(std::string_view name);

private:
    _xmlNode* m_node;
};

class Document
{
public:
    Document();
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // Replace the document with the parsed text or file. False when it is not
    // well-formed XML (the document is then empty).
    bool LoadFromBuffer(std::string_view text);
    bool LoadFile(const std::string& path);

    std::optional<Element> Root() const;
    // Starts a new empty document whose element is `name`.
    Element CreateRoot(std::string_view name);

    // A document built with CreateRoot is written without an XML declaration; a loaded
    // one keeps the declaration it had. The file is replaced whole and durably, as
    // ReplaceStoredFile does.
    bool Save(const std::string& path) const;
    std::string ToString() const;

private:
    void Reset();

    _xmlDoc* m_doc = nullptr;
    bool m_bDeclaration = false;
};
} // namespace platform::xml
