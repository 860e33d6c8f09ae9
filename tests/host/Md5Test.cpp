#include "host/Md5.h"

#include <gtest/gtest.h>

TEST(Md5Test, MatchesRfc1321VectorsInUpperCaseHex)
{
    EXPECT_EQ(host::Md5Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(host::Md5Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(
        host::Md5Hex(
            "12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57EDF4A22BE3C955AC49DA2E2107B67A");
    // Adding in pieces gives the digest of the whole, and Finish starts anew.
    host::CMd5 md5;
    md5.Add("message ");
    md5.Add("digest");
    EXPECT_EQ(md5.FinishHex(), "F96B697D7CB7938D525A2F31AAF161D0");
    md5.Add("abc");
    EXPECT_EQ(md5.FinishHex(), "900150983CD24FB0D6963F7D28E17F72");
}
