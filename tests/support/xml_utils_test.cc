#include "support/xml_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/errors.h"

namespace vd {
namespace {

TEST(XmlUtilsTest, WritesOneSafeEscapedLineThatParsesBackUnchanged) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child("Data");
  AppendTextElement(root, "Text", std::string("<a & \"b\">\x01\x1B\0x", 13));
  AppendTextElement(root, "Details", "").append_attribute("Encoding") = "0";
  const std::string text = SerializeXml(document);
  EXPECT_EQ(
      text,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><Text>&lt;a &amp; \"b\"&gt;[01][1B][00]x"
      "</Text><Details Encoding=\"0\"/></Data>");
  ParseXml(text, document);
  EXPECT_EQ(SerializeXml(document), text);  // still one declaration
  EXPECT_EQ(XmlSafeText(std::string("a\0b\x01\x1F\x7F\t\n\r", 9)), "a[00]b[01][1F]\x7F\t\n\r");
  EXPECT_EQ(XmlSafeText("Błąd € \xB3\xB9"), "Błąd € [B3][B9]");  // Windows-1250 bytes
  EXPECT_EQ(XmlSafeText("\xEF\xBF\xBF"), "[EF][BF][BF]");        // U+FFFF
}

TEST(XmlUtilsTest, ReadsWhitespaceAndBothEmptyFormsAndRejectsMissingOrMalformed) {
  pugi::xml_document document;
  ParseXml("<?xml version=\"1.0\"?>\n<Data>\n  <A>1</A>\n  <B/>\n  <C></C>\n</Data>\n", document);
  const pugi::xml_node root = document.document_element();
  EXPECT_EQ(ChildText(root, "A") + ChildText(root, "B") + ChildText(root, "C"), "1");
  EXPECT_THAT([&] { ChildText(root, "Direction"); },
              testing::ThrowsMessage<EXMLDocError>(
                  testing::StrEq("XML node with name \"Direction\" does not exist!")));
  for (const char* malformed : {"<Data><A>1</Data>", "", "just text"})
    EXPECT_THROW(ParseXml(malformed, document), EXMLDocError) << malformed;
}

}  // namespace
}  // namespace vd
