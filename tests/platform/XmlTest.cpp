// The XML DOM: loading, lookups, building and saving, and no entity expansion.
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

TEST(XmlTest, BuildsSavesAndReloads)
{
    testsupport::TempHome home;
    Document doc;
    Element root = doc.CreateRoot("RADIO_CACHE");
    Element info = root.AppendChild("GENERAL_INFO");
    info.AppendChild("CACHE_PATH").SetText("/x/<&>/");
    info.AppendChild("MAX_SIZE").SetText("250000000");
    const std::string path = home.File("index.xml");
    ASSERT_TRUE(doc.Save(path));
    const std::string saved = testsupport::ReadFile(path);
    // Built anew: no declaration.
    EXPECT_EQ(saved.rfind("<RADIO_CACHE>", 0), 0u) << saved;

    Document again;
    ASSERT_TRUE(again.LoadFile(path));
    const auto children = again.Root()->FirstDescendant("GENERAL_INFO")->ChildElements();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].Name(), "CACHE_PATH");
    EXPECT_EQ(children[0].Text(), "/x/<&>/");
    EXPECT_EQ(children[1].Text(), "250000000");
    Element maxSize = children[1];
    maxSize.SetText("300000000");
    ASSERT_TRUE(again.Save(path));
    Document third;
    ASSERT_TRUE(third.LoadFile(path));
    EXPECT_EQ(third.Root()->FirstDescendant("MAX_SIZE")->Text(), "300000000");
    EXPECT_FALSE(third.LoadFile(home.File("missing.xml")));
}
