#include "CInetHeaderParser.h"

#include <gtest/gtest.h>

#include <cstring>

#include "FaultPlatform.h"
#include "Platform.h"
#include "TestSandbox.h"

class CInetHeaderParserTest : public SandboxTest {
protected:
    // Writes `text` to a file and loads it.
    std::unique_ptr<CInetHeaderParser> Load(const std::string& text)
    {
        WriteFile(SandboxPath("t.cfg"), text);
        return std::make_unique<CInetHeaderParser>(SandboxPath("t.cfg"), true);
    }
};

TEST_F(CInetHeaderParserTest, SimpleHeaderReadsAsTextAndNumber)
{
    auto p = Load("Alpha: 12\r\n");
    ASSERT_TRUE(p->IsLoaded());
    std::int32_t i = -1;
    std::string s;
    EXPECT_TRUE(p->GetParmInt("Alpha", "Alpha", i));
    EXPECT_EQ(i, 12);
    EXPECT_TRUE(p->GetParmValue("Alpha", "Alpha", s));
    EXPECT_EQ(s, "12");
    EXPECT_FALSE(p->GetParmValue("alpha", "alpha", s)); // case sensitive
    EXPECT_EQ(s, "");
}

TEST_F(CInetHeaderParserTest, NameOnlyHeadersAreFoundEmptyAndSavedBare)
{
    auto p = Load("Alpha\r\nBeta:\r\n");
    ASSERT_TRUE(p->IsLoaded());
    std::string s = "junk";
    std::int32_t i = 99;
    EXPECT_TRUE(p->GetParmValue("Alpha", "Alpha", s));
    EXPECT_EQ(s, "");
    EXPECT_TRUE(p->GetParmInt("Beta", "Beta", i));
    EXPECT_EQ(i, 0);
    EXPECT_EQ(p->ToText(), "Alpha\r\nBeta\r\n");
}

TEST_F(CInetHeaderParserTest, QuotesAreStrippedOnce)
{
    auto p = Load("A: \"quoted\"\r\nB: \"\r\nC: \"\"x\"\"\r\n");
    std::string s;
    EXPECT_TRUE(p->GetParmValue("A", "A", s));
    EXPECT_EQ(s, "quoted");
    EXPECT_TRUE(p->GetParmValue("B", "B", s));
    EXPECT_EQ(s, "");
    EXPECT_TRUE(p->GetParmValue("C", "C", s));
    EXPECT_EQ(s, "\"x\"");
}

// Found by the fuzzer: the parser's internal no-value marker, quoted in a file, came out as
// a value. It reads like a bare name, whichever way it is written.
TEST_F(CInetHeaderParserTest, TheNoValueMarkerNeverComesOutAsAValue)
{
    const std::string marker = CInetHeaderParser::kNoParmValue;
    auto p = Load("A: \"" + marker + "\"\r\nB: " + marker + "\r\nC\r\n");
    for (const char* name : {"A", "B", "C"}) {
        std::string s = "stale";
        EXPECT_TRUE(p->GetParmValue(name, name, s)) << name;
        EXPECT_EQ(s, "") << name;
    }
}

TEST_F(CInetHeaderParserTest, BlankBeforeColonBelongsToTheName)
{
    auto p = Load("Alpha : 1\r\nTwo words: here: x\r\n");
    std::string s;
    EXPECT_FALSE(p->GetParmValue("Alpha", "Alpha", s));
    EXPECT_TRUE(p->GetParmValue("Alpha ", "Alpha ", s));
    EXPECT_EQ(s, "1");
    // Once a blank is followed by text, ":" no longer ends the name.
    EXPECT_TRUE(p->GetParmValue("Two words: here: x", "Two words: here: x", s));
    EXPECT_EQ(s, "");
}

TEST_F(CInetHeaderParserTest, AttributesOnContinuationLinesRoundTrip)
{
    const std::string text = "Alpha: 1;\r\n    beta= 2\r\n";
    auto p = Load(text);
    ASSERT_TRUE(p->IsLoaded());
    std::string s;
    EXPECT_TRUE(p->GetParmValue("Alpha", "Alpha", s));
    EXPECT_EQ(s, "1");
    EXPECT_TRUE(p->GetParmValue("Alpha", "beta", s));
    EXPECT_EQ(s, "2");
    EXPECT_EQ(p->ToText(), text);
    // A ";" at a line end continues the header even without indentation.
    auto q = Load("A: 1;\r\nb=2\r\nC: 3\r\n");
    EXPECT_TRUE(q->GetParmValue("A", "b", s));
    EXPECT_EQ(s, "2");
    EXPECT_TRUE(q->GetParmValue("C", "C", s));
    // ...but a blank line ends it.
    auto r = Load("A: 1;\r\n\r\nb: 2\r\n");
    EXPECT_FALSE(r->GetParmValue("A", "b", s));
    EXPECT_TRUE(r->GetParmValue("b", "b", s));
    EXPECT_EQ(s, "2");
}

TEST_F(CInetHeaderParserTest, FoldedValueKeepsTheContinuationBlanks)
{
    auto p = Load("Alpha: first\r\n  second\r\nBeta: 2\r\n");
    std::string s;
    EXPECT_TRUE(p->GetParmValue("Alpha", "Alpha", s));
    EXPECT_EQ(s, "first  second");
    EXPECT_TRUE(p->GetParmValue("Beta", "Beta", s));
    // Blank-only continuation lines end the value instead.
    auto q = Load("Alpha: v\n   \nBeta: 2\n");
    EXPECT_TRUE(q->GetParmValue("Alpha", "Alpha", s));
    EXPECT_EQ(s, "v");
    EXPECT_TRUE(q->GetParmValue("Beta", "Beta", s));
}

TEST_F(CInetHeaderParserTest, LineEndsOfAnyKindAndEmptyLines)
{
    auto p = Load("\r\n\r\nA: 1\n\nB: 2\rC: 3");
    ASSERT_TRUE(p->IsLoaded());
    std::uint32_t a = 0, b = 0, c = 0;
    EXPECT_TRUE(p->GetParmUInt("A", "A", a));
    EXPECT_TRUE(p->GetParmUInt("B", "B", b));
    EXPECT_TRUE(p->GetParmUInt("C", "C", c));
    EXPECT_EQ(a + b + c, 6u);
}

TEST_F(CInetHeaderParserTest, EmptyNameFailsButKeepsWhatCameBefore)
{
    auto p = Load("A: 1\r\n: 2\r\nB: 3\r\n");
    EXPECT_FALSE(p->IsLoaded());
    std::string s;
    EXPECT_TRUE(p->GetParmValue("A", "A", s));
    EXPECT_FALSE(p->GetParmValue("B", "B", s));
    auto q = Load(";odd: 1\r\n");
    EXPECT_TRUE(q->IsLoaded());
    EXPECT_TRUE(q->GetParmValue(";odd", ";odd", s));
    EXPECT_EQ(s, "1");
}

TEST_F(CInetHeaderParserTest, RepeatedHeaderKeepsFirstValueForLookupAndBothOnSave)
{
    auto p = Load("X: 1\r\nX: 2;\r\n    dropped= y\r\n");
    std::string s;
    EXPECT_TRUE(p->GetParmValue("X", "X", s));
    EXPECT_EQ(s, "1");
    EXPECT_FALSE(p->GetParmValue("X", "dropped", s));
    EXPECT_EQ(p->ToText(), "X: 1\r\nX: 2\r\n");
}

TEST_F(CInetHeaderParserTest, NumbersConvertLikeThe32BitRuntime)
{
    auto p = Load("A:  -17abc\r\nB: x\r\nC: 99999999999\r\nD: -1\r\nE: -99999999999\r\n");
    std::int32_t i = 5;
    std::uint32_t u = 5;
    EXPECT_TRUE(p->GetParmInt("A", "A", i));
    EXPECT_EQ(i, -17);
    EXPECT_TRUE(p->GetParmInt("B", "B", i));
    EXPECT_EQ(i, 0);
    EXPECT_TRUE(p->GetParmInt("C", "C", i));
    EXPECT_EQ(i, 2147483647);
    EXPECT_TRUE(p->GetParmInt("E", "E", i));
    EXPECT_EQ(i, -2147483647 - 1);
    EXPECT_TRUE(p->GetParmUInt("C", "C", u));
    EXPECT_EQ(u, 4294967295u);
    EXPECT_TRUE(p->GetParmUInt("D", "D", u));
    EXPECT_EQ(u, 4294967295u);
    i = 42;
    EXPECT_FALSE(p->GetParmInt("Missing", "Missing", i));
    EXPECT_EQ(i, 42); // defaults survive
}

TEST_F(CInetHeaderParserTest, SaveWritesHeadersInByteOrderWithCrLf)
{
    CInetHeaderParser w(true);
    w.AddHeaderInt("NumSubFiles", 3);
    w.AddHeaderUInt("MaxBytesPerSubFile", 2147483647u);
    w.AddHeaderInt("Neg", -5);
    w.AddHeader("Empty", "");
    w.AddHeader("trail", "  lead and trail  ");
    EXPECT_TRUE(w.AddHeader("X", "1"));
    EXPECT_FALSE(w.AddHeader("X", "2"));
    w.AddHeaderInt("X", 3); // ignored
    ASSERT_TRUE(w.Save(SandboxPath("c.cfg")));
    EXPECT_EQ(ReadFile(SandboxPath("c.cfg")),
              "Empty: \r\nMaxBytesPerSubFile: 2147483647\r\nNeg: -5\r\nNumSubFiles: 3\r\nX: 1\r\n"
              "trail:   lead and trail  \r\n");
    CInetHeaderParser r(SandboxPath("c.cfg"), true);
    ASSERT_TRUE(r.IsLoaded());
    std::string s = "junk";
    EXPECT_TRUE(r.GetParmValue("Empty", "Empty", s));
    EXPECT_EQ(s, "");
    EXPECT_TRUE(r.GetParmValue("trail", "trail", s));
    EXPECT_EQ(s, "lead and trail  "); // leading blanks do not survive, trailing ones do
}

TEST_F(CInetHeaderParserTest, LineBreaksInValuesCannotInjectHeaders)
{
    CInetHeaderParser w(true);
    w.AddHeader("ServerName", "evil\r\nNumSubFiles: 999");
    w.AddHeader("NumSubFiles", "1");
    ASSERT_TRUE(w.Save(SandboxPath("s.cfg")));
    CInetHeaderParser r(SandboxPath("s.cfg"), true);
    ASSERT_TRUE(r.IsLoaded());
    std::int32_t n = 0;
    EXPECT_TRUE(r.GetParmInt("NumSubFiles", "NumSubFiles", n));
    EXPECT_EQ(n, 1);
    std::string name;
    EXPECT_TRUE(r.GetParmValue("ServerName", "ServerName", name));
    EXPECT_EQ(name, "evil  NumSubFiles: 999");
}

TEST_F(CInetHeaderParserTest, MissingEmptyAndUnwritableFilesDoNotLoad)
{
    CInetHeaderParser missing(SandboxPath("none.cfg"), true);
    EXPECT_FALSE(missing.IsLoaded());
    WriteFile(SandboxPath("empty.cfg"), "");
    CInetHeaderParser empty(SandboxPath("empty.cfg"), true);
    EXPECT_FALSE(empty.IsLoaded());
    // Opening for writing fails, as for a read-only file of an ordinary user.
    WriteFile(SandboxPath("ro.cfg"), "A: 1\r\n");
    hl::FaultPlatform fault;
    fault.FailAll(hl::kErrAccessDenied, hl::kOpOpen);
    hl::ScopedPlatform use(fault);
    CInetHeaderParser ro(SandboxPath("ro.cfg"), true);
    EXPECT_FALSE(ro.IsLoaded());
    std::string s;
    EXPECT_FALSE(ro.GetParmValue("A", "A", s));
}

TEST_F(CInetHeaderParserTest, ShortReadDoesNotLoad)
{
    WriteFile(SandboxPath("a.cfg"), "A: 1\r\n");
    hl::FaultPlatform fault;
    fault.FailAll(5, hl::kOpRead);
    hl::ScopedPlatform use(fault);
    CInetHeaderParser p(SandboxPath("a.cfg"), true);
    EXPECT_FALSE(p.IsLoaded());
}

TEST_F(CInetHeaderParserTest, FailedSaveLeavesThePreviousFileWhole)
{
    CInetHeaderParser first(true);
    first.AddHeader("Version", "1");
    ASSERT_TRUE(first.Save(SandboxPath("r.cfg")));
    const std::string before = ReadFile(SandboxPath("r.cfg"));
    for (std::uint32_t ops : {hl::kOpOpen, hl::kOpWrite, hl::kOpSync, hl::kOpRename}) {
        CInetHeaderParser second(true);
        second.AddHeader("Version", "2");
        hl::FaultPlatform fault;
        fault.FailNth(1, hl::kErrDiskFull, ops);
        {
            hl::ScopedPlatform use(fault);
            EXPECT_FALSE(second.Save(SandboxPath("r.cfg")));
            EXPECT_EQ(hl::Platform::LastError(), hl::kErrDiskFull);
        }
        EXPECT_TRUE(fault.Hit());
        EXPECT_EQ(ReadFile(SandboxPath("r.cfg")), before);
        EXPECT_FALSE(hl::Os().PathExists(SandboxPath("r.cfg.tmp")));
    }
}

TEST_F(CInetHeaderParserTest, CaseInsensitiveParserUpperCasesNames)
{
    WriteFile(SandboxPath("u.cfg"), "alpha: 1;\r\n beta= 2\r\n");
    CInetHeaderParser p(SandboxPath("u.cfg"), false);
    std::string s;
    EXPECT_TRUE(p.GetParmValue("ALPHA", "Beta", s));
    EXPECT_EQ(s, "2");
    EXPECT_TRUE(p.GetParmValue("Alpha", "alpha", s));
    EXPECT_EQ(s, "1");
}

TEST(CInetHeaderParser, HostileInputEndsWithoutFault)
{
    // Each ends the text in the middle of a construct.
    const char* inputs[] = {"A",          "A:",    "A: 1;",    "A: 1;\r\n", "A: 1;\r\n ", "A: 1\r\n \r\n",
                            ":",          ";",     "A b: c:",  "A: 1;;;",   "A: 1; =",    "\r\r\r\n\n",
                            "A:\r\n\t\t", "A: \"", "A: 1;\n\n"};
    for (const char* text : inputs) {
        CInetHeaderParser p(true);
        p.Parse(text);
        EXPECT_LE(p.ToText().size(), 4 * std::strlen(text) + 64) << text;
    }
    CInetHeaderParser tail(true);
    EXPECT_FALSE(tail.Parse("A: 1;")); // a ";" at the end asks for an item that is not there
}
