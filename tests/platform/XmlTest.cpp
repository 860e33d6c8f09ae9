// The XML DOM: lookups and no entity expansion (building and saving: the cache index tests).
#include "platform/Xml.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace platform::xml;

TEST(XmlTest, FindsDescendantsAndAttributes)
{
    Document doc;
    ASSERT_TRUE(doc.LoadFromBuffer(
        "<?xml version=\"1.0\"?><ROOT><A><INFO strTimeStamp=\"3600000\" x=\"1\"/></A>"
        "<INFO STRTIMESTAMP=\"2\"/><info strTimeStamp=\"3\"/></ROOT>"));
    const auto root = doc.Root();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->Name(), "ROOT");
    const auto infos = root->Descendants("INFO");
    ASSERT_EQ(infos.size(), 2u); // names match exactly: "info" is another element
    EXPECT_EQ(infos[0].AttributeNoCase("STRTIMESTAMP"), "3600000");
    EXPECT_EQ(infos[1].AttributeNoCase("strtimestamp"), "2");
    EXPECT_FALSE(infos[0].AttributeNoCase("missing"));
    EXPECT_EQ(root->FirstDescendant("INFO")->Attributes().size(), 2u);
    // The root itself is not among its descendants.
    Document self;
    ASSERT_TRUE(self.LoadFromBuffer("<INFO strTimeStamp=\"1\"/>"));
    EXPECT_TRUE(self.Root()->Descendants("INFO").empty());
}

TEST(XmlTest, RejectsMalformedTextAndExpandsNoEntities)
{
    Document doc;
    EXPECT_FALSE(doc.LoadFromBuffer("<A><B></A>"));
    EXPECT_FALSE(doc.Root());
    EXPECT_FALSE(doc.LoadFromBuffer(""));
    testsupport::TempHome home;
    testsupport::WriteFile(home.File("secret.txt"), "SECRET");
    const std::string withEntity =
        "<!DOCTYPE A [<!ENTITY e SYSTEM \"file://" + home.File("secret.txt") + "\">]><A>&e;</A>";
    if (doc.LoadFromBuffer(withEntity))
    {
        EXPECT_EQ(doc.Root()->Text().find("SECRET"), std::string::npos);
    }
}
