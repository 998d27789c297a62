#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace vd {

// The XML helpers shared by the documents the driver writes and reads.
// Documents are written on one line: the declaration
// <?xml version="1.0" encoding="UTF-8"?>, then the elements without any
// whitespace between them. Readers accept whitespace and the short empty form.

// A UTF-8 text made safe for an XML 1.0 document: every character XML 1.0
// does not allow (control characters other than tab, line feed and carriage
// return, U+FFFE, U+FFFF) and every byte that is no valid UTF-8 becomes the
// "[XX]" escape of EscapeControlChars (XX the byte in upper-case hex).
std::string XmlSafeText(std::string_view utf8);

// Appends <name>text</name> to parent, with text passed through XmlSafeText.
pugi::xml_node AppendTextElement(pugi::xml_node parent, const char* name, std::string_view utf8);

// The document as one line of UTF-8 text, declaration first.
std::string SerializeXml(const pugi::xml_document& document);

// Parses text into document, keeping texts of blanks only; raises
// EXMLDocError with the parser's description when it is not well-formed.
void ParseXml(std::string_view text, pugi::xml_document& document);

// The child element of parent named name; raises EXMLDocError
// "XML node with name "<name>" does not exist!" when there is none.
pugi::xml_node RequireChild(pugi::xml_node parent, const char* name);

// The text of a child element as UTF-8 (empty for the short empty form);
// raises like RequireChild when the child is missing.
std::string ChildText(pugi::xml_node parent, const char* name);

}  // namespace vd
