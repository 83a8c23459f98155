#include "Subsidiary/ReadIni.h"
#include "support/TempFile.h"

#include <gtest/gtest.h>

namespace {

// Parses the text as a settings file.
class ReadIniTest : public ::testing::Test {
protected:
    void Parse(std::string_view text)
    {
        CTempFile file(text);
        ASSERT_TRUE(m_Ini.Open(file.Path()));
    }

    std::string Value(const std::string& section, const std::string& key)
    {
        std::string value;
        return m_Ini.GetString(section, key, "<absent>", value) ? value : "<absent>";
    }

    CReadIni m_Ini;
};

} // namespace

TEST_F(ReadIniTest, TrimsBlanksAroundKeysAndValuesOnly)
{
    Parse("[SERVER]\n"
          "  ServerPort  =  777  \n"
          "Tabbed=\tx\t\n"
          "Flag\n"
          "   =   \n"
          "[ SERVER ]\n"
          "Other=1\n");
    EXPECT_EQ(m_Ini.GetInt("SERVER", "ServerPort", 5), 777);
    EXPECT_EQ(Value("SERVER", "Tabbed"), "\tx\t");
    EXPECT_EQ(Value("SERVER", "Flag"), "null");
    EXPECT_EQ(Value("SERVER", ""), "");
    // Section names are taken as written between the brackets.
    EXPECT_EQ(Value("SERVER", "Other"), "<absent>");
    EXPECT_EQ(Value(" SERVER ", "Other"), "1");
}

TEST_F(ReadIniTest, CommentAfterTheEqualsSignStaysInTheValue)
{
    Parse("[SERVER]\n"
          "ServerPort=777 ; old value 888\n"
          "Name=a#b\n");
    EXPECT_EQ(Value("SERVER", "ServerPort"), "777 ; old value 888");
    EXPECT_EQ(m_Ini.GetInt("SERVER", "ServerPort", 5), 777);
    EXPECT_EQ(Value("SERVER", "Name"), "a#b");
}

TEST_F(ReadIniTest, LinesStartingWithACommentCharacterAreSkipped)
{
    Parse("[SERVER]\n"
          ";ServerPort=1\n"
          "#NumberOfThreads=2\n"
          "; [OTHER]\n"
          "Key=v\n");
    EXPECT_EQ(m_Ini.GetInt("SERVER", "ServerPort", 5), 5);
    EXPECT_EQ(m_Ini.GetInt("SERVER", "NumberOfThreads", 6), 6);
    EXPECT_EQ(Value("SERVER", "Key"), "v");
}

TEST_F(ReadIniTest, CommentBeforeTheEqualsSignCutsTheLine)
{
    Parse("[SERVER]\n"
          "ServerPort ; =1\n"
          "Other # =2\n");
    EXPECT_EQ(m_Ini.GetInt("SERVER", "ServerPort", 5), 5);
    EXPECT_EQ(Value("SERVER", "ServerPort "), "null");
    EXPECT_EQ(Value("SERVER", "Other "), "null");
}

TEST_F(ReadIniTest, LookupsAreCaseSensitive)
{
    Parse("[server]\n"
          "ServerPort=1\n"
          "serverport=2\n");
    EXPECT_EQ(m_Ini.GetInt("SERVER", "ServerPort", 5), 5);
    EXPECT_EQ(m_Ini.GetInt("server", "ServerPort", 5), 1);
    EXPECT_EQ(m_Ini.GetInt("server", "serverport", 5), 2);
}

TEST_F(ReadIniTest, FirstValueWinsAcrossRepeatedSections)
{
    Parse("[SERVER]\n"
          "A=1\n"
          "A=9\n"
          "[OTHER]\n"
          "B=x\n"
          "[SERVER]\n"
          "A=2\n"
          "B=3\n");
    EXPECT_EQ(Value("SERVER", "A"), "1");
    EXPECT_EQ(Value("SERVER", "B"), "3");
    EXPECT_EQ(Value("OTHER", "B"), "x");
}

TEST_F(ReadIniTest, BracketsDecideSectionLines)
{
    Parse("[SERVER]\n"
          "MulticastAddr=[239.1.1.1]\n"
          "X=1\n"
          "[SER;VER]\n"
          "Y=2\n"
          "[MAIN] ; was [OLD]\n"
          "Z=3\n");
    // Brackets without a comment character start a section even after '='.
    EXPECT_EQ(Value("SERVER", "MulticastAddr"), "<absent>");
    EXPECT_EQ(Value("239.1.1.1", "X"), "1");
    EXPECT_EQ(Value("SER;VER", "Y"), "2");
    EXPECT_EQ(Value("MAIN", "Z"), "3");
}

TEST_F(ReadIniTest, LinesWithoutAPlaceAreIgnored)
{
    Parse("A=1\n"
          "[SERVER]\n"
          "text ; note\n"
          "B=2\n");
    EXPECT_EQ(Value("SERVER", "A"), "<absent>");
    EXPECT_EQ(Value("SERVER", "text "), "<absent>");
    EXPECT_EQ(Value("SERVER", "B"), "2");
}

TEST_F(ReadIniTest, IntegersStopAtTheFirstNonDigitAndFallBackOnGarbage)
{
    Parse("[SERVER]\n"
          "Neg=-7\n"
          "Trail=42x\n"
          "Word=abc\n"
          "Empty=\n"
          "Huge=99999999999\n");
    EXPECT_EQ(m_Ini.GetInt("SERVER", "Neg", 5), -7);
    EXPECT_EQ(m_Ini.GetInt("SERVER", "Trail", 5), 42);
    EXPECT_EQ(m_Ini.GetInt("SERVER", "Word", 5), 5);
    EXPECT_EQ(m_Ini.GetInt("SERVER", "Empty", 5), 5);
    EXPECT_EQ(m_Ini.GetInt("SERVER", "Huge", 5), 5);
}

TEST_F(ReadIniTest, CarriageReturnLineFeedEndsOneLine)
{
    Parse("[SERVER]\r\n\r\nA=1\r\nB = 2 \r\nC=3");
    EXPECT_EQ(Value("SERVER", "A"), "1");
    EXPECT_EQ(Value("SERVER", "B"), "2");
    EXPECT_EQ(Value("SERVER", "C"), "3");
}

TEST(ReadIniOpenTest, RefusesWhatCannotBeReadAndReplacesEarlierContent)
{
    CReadIni ini;
    EXPECT_FALSE(ini.Open(""));
    CTempFile first("[SERVER]\nA=1\n");
    EXPECT_FALSE(ini.Open(first.Path() + ".missing"));
    EXPECT_FALSE(ini.Open(first.Folder()));
    ASSERT_TRUE(ini.Open(first.Path()));
    CTempFile second("[SERVER]\nB=2\n");
    ASSERT_TRUE(ini.Open(second.Path()));
    std::string value;
    EXPECT_FALSE(ini.GetString("SERVER", "A", "none", value));
    EXPECT_EQ(value, "none");
    EXPECT_TRUE(ini.GetString("SERVER", "B", "none", value));
    EXPECT_EQ(value, "2");
}
