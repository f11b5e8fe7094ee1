#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace lumivor {

// The XML document object model that catalog files and the configuration are read and written
// through. pugixml's document is the model; these functions add what the program relies on:
// errors that name the file and the position, and saves that never truncate the old file.
using XmlDocument = pugi::xml_document;
using XmlElement = pugi::xml_node;

// The parse options every document is read with: entities resolved, declaration kept.
inline constexpr unsigned kXmlParseOptions = pugi::parse_default | pugi::parse_declaration;

// Replaces the whole content of `document` with the parsed `text`; raises LumivorError when the
// text is not well-formed.
void SetDocumentText(XmlDocument& document, std::string_view text);

// Replaces the whole content of `document` with the file at `path`. A file that is missing,
// unreadable or not well-formed raises LumivorError with the path and the reason (the parser's
// message with line and column where there is one); the document is then empty.
void LoadXmlFile(XmlDocument& document, const std::string& path);

// The encoding a catalog or configuration text is read in: what a byte-order mark (or the zero
// bytes of UTF-16 and UTF-32) says; else the XML declaration's `encoding` pseudo-attribute,
// matched by its exact name: ISO-8859-1 (Latin-1) or UTF-8, and UTF-8 for any other name; UTF-8
// without a declaration. Every reader uses this, so that every route decodes a file alike.
[[nodiscard]] pugi::xml_encoding EncodingOfText(std::string_view text);
// The reason a parse failed, for the user: "the file is empty", or the parser's message with the
// line and column in `text` where it stopped.
[[nodiscard]] std::string XmlParseErrorText(const pugi::xml_parse_result& result,
                                            std::string_view text);
// Reads the whole file at `path`; raises LumivorError with the path and the reason.
[[nodiscard]] std::string ReadWholeFile(const std::string& path);

// Writes `document` to `path` as UTF-8 without indentation, replacing the old file only once the
// new one is complete.
void SaveXmlFile(const XmlDocument& document, const std::string& path);

// The element with its attributes and descendants as XML text, without a declaration.
[[nodiscard]] std::string SerializeElement(const XmlElement& element);

// The document's root element (its document element).
[[nodiscard]] XmlElement DocumentElement(const XmlDocument& document);

// Appends `text` to `out` escaped for an attribute value written in double quotes, exactly as
// the document's own writer escapes it ("&", "<", '"' and control characters; ">" stays).
void AppendEscapedAttribute(std::string& out, std::string_view text);

}  // namespace lumivor
