// The program's version information comes from the project definition.

#include "GetVersionInfo.h"

#include <gtest/gtest.h>

#include <regex>

TEST(GetVersionInfoTest, ProductVersionAndCommentsOfThisBuild)
{
    std::string product = "x", version = "x", comments = "x";
    GetVersionInfo(product, version, comments);
    EXPECT_EQ(product, "Harborlock");
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+(\\.[0-9]+)?"))) << version;
    EXPECT_EQ(comments, "Backup service for Quarnex phone-system servers");
}
