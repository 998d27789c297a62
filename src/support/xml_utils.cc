#include "support/xml_utils.h"

#include <cstdio>
#include <string>

#include "support/errors.h"
#include "support/utf8.h"

namespace vd {

namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

void AppendByteEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '[';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
  out += ']';
}

bool AllowedInXml(char32_t cp) {
  if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
  return cp != 0xFFFE && cp != 0xFFFF;
}

// Collects the serialised document; pugixml hands it over in pieces.
class StringWriter final : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

}  // namespace

std::string XmlSafeText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t cp = 0;
    const size_t length = DecodeUtf8Sequence(utf8, pos, cp);
    if (length == 0) {
      AppendByteEscape(out, static_cast<unsigned char>(utf8[pos]));
      ++pos;
      continue;
    }
    if (AllowedInXml(cp)) {
      out.append(utf8.substr(pos, length));
    } else {
      for (size_t i = 0; i < length; ++i) {
        AppendByteEscape(out, static_cast<unsigned char>(utf8[pos + i]));
      }
    }
    pos += length;
  }
  return out;
}

pugi::xml_node AppendTextElement(pugi::xml_node parent, const char* name, std::string_view utf8) {
  pugi::xml_node element = parent.append_child(name);
  if (!utf8.empty()) {
    element.append_child(pugi::node_pcdata).set_value(XmlSafeText(utf8).c_str());
  }
  return element;
}

std::string SerializeXml(const pugi::xml_document& document) {
  std::string out = kDeclaration;
  StringWriter writer(out);
  for (pugi::xml_node node : document.children()) {
    // The declaration is always our own, whatever the document holds.
    if (node.type() == pugi::node_declaration) continue;
    node.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  }
  return out;
}

void ParseXml(std::string_view text, pugi::xml_document& document) {
  // parse_ws_pcdata keeps a text of blanks only (a hardware number of four
  // blanks) instead of reading it as empty; whitespace between elements then
  // becomes text nodes, which lookups by name pass over.
  const pugi::xml_parse_result result = document.load_buffer(
      text.data(), text.size(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_utf8);
  if (!result) {
    throw EXMLDocError(std::string(result.description()) + " at offset " +
                       std::to_string(result.offset));
  }
  if (!document.document_element()) throw EXMLDocError("No document element found");
}

pugi::xml_node RequireChild(pugi::xml_node parent, const char* name) {
  pugi::xml_node child = parent.child(name);
  if (!child) {
    throw EXMLDocError(std::string("XML node with name \"") + name + "\" does not exist!");
  }
  return child;
}

std::string ChildText(pugi::xml_node parent, const char* name) {
  return RequireChild(parent, name).child_value();
}

}  // namespace vd
