#include "support/xml_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "support/errors.h"

namespace vd {
namespace {

TEST(XmlUtilsTest, WritesOneLineWithOurDeclarationAndShortEmptyForm) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child("Data");
  AppendTextElement(root, "Text", "a & b < c > d \"q\" 'a'");
  AppendTextElement(root, "Details", "").append_attribute("Encoding") = "0";
  EXPECT_EQ(SerializeXml(document),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><Text>a &amp; b &lt; c &gt; d "
            "\"q\" 'a'</Text><Details Encoding=\"0\"/></Data>");
}

TEST(XmlUtilsTest, ForbiddenCharactersAndInvalidBytesBecomeHexEscapes) {
  EXPECT_EQ(XmlSafeText(std::string("a\0b\x01\x1F\x7F", 6)), "a[00]b[01][1F]\x7F");
  EXPECT_EQ(XmlSafeText("tab\tlf\ncr\r"), "tab\tlf\ncr\r");
  EXPECT_EQ(XmlSafeText("B\xB3\xB9"
                        "d"),
            "B[B3][B9]d");                                 // Windows-1250 bytes
  EXPECT_EQ(XmlSafeText("\xEF\xBF\xBF"), "[EF][BF][BF]");  // U+FFFF
  EXPECT_EQ(XmlSafeText("Błąd €"), "Błąd €");
}

TEST(XmlUtilsTest, DocumentWithControlCharactersParsesBack) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child("Data");
  AppendTextElement(root, "Name", std::string("drv\x01\x1B\0x", 7));
  const std::string text = SerializeXml(document);

  pugi::xml_document parsed;
  ASSERT_TRUE(parsed.load_buffer(text.data(), text.size(),
                                 pugi::parse_default | pugi::parse_declaration,
                                 pugi::encoding_utf8));
  EXPECT_EQ(ChildText(parsed.document_element(), "Name"), "drv[01][1B][00]x");
}

TEST(XmlUtilsTest, ReadsWhitespaceAndBothEmptyForms) {
  pugi::xml_document document;
  ParseXml("<?xml version=\"1.0\"?>\n<Data>\n  <A>1</A>\n  <B/>\n  <C></C>\n</Data>\n", document);
  const pugi::xml_node root = document.document_element();
  EXPECT_EQ(ChildText(root, "A"), "1");
  EXPECT_EQ(ChildText(root, "B"), "");
  EXPECT_EQ(ChildText(root, "C"), "");
}

TEST(XmlUtilsTest, ReserializingAParsedDocumentKeepsOneDeclaration) {
  pugi::xml_document document;
  ParseXml("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><A>x</A></Data>", document);
  EXPECT_EQ(SerializeXml(document),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><A>x</A></Data>");
}

TEST(XmlUtilsTest, MissingChildAndMalformedDocumentRaiseXmlErrors) {
  pugi::xml_document document;
  ParseXml("<Data><A>1</A></Data>", document);
  try {
    RequireChild(document.document_element(), "Direction");
    FAIL() << "no error raised";
  } catch (const EXMLDocError& error) {
    EXPECT_STREQ(error.what(), "XML node with name \"Direction\" does not exist!");
  }
  EXPECT_THROW(ChildText(document.document_element(), "B"), EXMLDocError);
  EXPECT_THROW(ParseXml("<Data><A>1</Data>", document), EXMLDocError);
  EXPECT_THROW(ParseXml("", document), EXMLDocError);
  EXPECT_THROW(ParseXml("just text", document), EXMLDocError);
}

}  // namespace
}  // namespace vd
