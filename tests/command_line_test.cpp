// The command-line parse, run through the portable text operations.
#include "registration/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "tests/case_name.h"
#include "tests/recording_platform.h"

namespace {

struct ParseCase {
  const char* what;
  std::u16string commandLine;
  std::u16string moduleName;
  bool unregister;
  bool silent;
  ParseOutcome outcome = ParseOutcome::Request;
};

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, YieldsNameAndFlags) {
  const ParseCase& c = GetParam();
  char16_t buffer[CommandLineCapacity];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  RegistrationRequest request{};
  const PlatformServices& services = RecordingPlatform({});

  ASSERT_EQ(ParseCommandLine(services, c.commandLine.c_str(), buffer, request), c.outcome);
  EXPECT_EQ(request.unregister, c.unregister);
  EXPECT_EQ(request.silent, c.silent);
  if (c.outcome != ParseOutcome::Request) {
    // Refused whole, never cut: nothing of the line was copied.
    EXPECT_EQ(std::u16string(buffer, CommandLineCapacity),
              std::u16string(CommandLineCapacity, u'#'));
    return;
  }
  EXPECT_EQ(Narrow(request.moduleName), Narrow(c.moduleName));
  EXPECT_EQ(std::u16string(request.moduleName), c.moduleName);
  EXPECT_GE(request.moduleName, buffer);
  EXPECT_LT(request.moduleName, buffer + CommandLineCapacity);
}

const ParseCase parseCases[] = {
    {"plain name", u"x.dll", u"x.dll", false, false},
    {"both flags", u"x.dll -u -s", u"x.dll", true, true},
    {"flags reversed", u"x.dll -s -u", u"x.dll", true, true},
    {"slash flags", u"x.dll /u /s", u"x.dll", true, true},
    {"upper-case flags", u"x.dll -U -S", u"x.dll", true, true},
    {"upper-case slash flags", u"x.dll /S /U", u"x.dll", true, true},
    {"slash cut when no dash", u"x.dll /s", u"x.dll", false, true},
    {"dash cut wins over an earlier slash", u"x.dll /u -s", u"x.dll /u", true, true},
    {"quoted path with spaces", u"\"\\Program Files\\My Server.dll\" -u",
     u"\\Program Files\\My Server.dll", true, false},
    {"dash inside the path ends the name", u"\\Windows\\my-server.dll", u"\\Windows\\my", false,
     true},
    {"quotes give no protection from the cut", u"\"\\dir\\my-x.dll\" -u", u"\\dir\\my", true,
     false},
    {"options alone give an empty name", u"-u", u"", true, false},
    {"spaces alone give an empty name", u"   ", u"", false, false},
    {"options before the path give an empty name", u"-s x.dll", u"", false, true},
    {"tab before an option stays", u"x.dll\t-s", u"x.dll\t", false, true},
    {"leading tab stays", u"\tx.dll", u"\tx.dll", false, false},
    {"other white space stays", u"x.dll\u2003", u"x.dll\u2003", false, false},
    {"only two quotes are removed", u"\"a\"b\"", u"a b\"", false, false},
    {"a lone quote leaves an empty name", u"\"", u"", false, false},
    {"surrounding spaces trimmed", u"   x.dll   ", u"x.dll", false, false},
    {"inner spaces kept", u"my dir\\x y.dll", u"my dir\\x y.dll", false, false},
    {"slash form inside the path", u"\\a/ux.dll", u"\\a", true, false},
    {"longer options still count", u"x.dll --u -silent", u"x.dll", true, true},
    {"unknown option only cuts", u"x.dll -q", u"x.dll", false, false},
    {"forms are case-sensitive pairs", u"x.dll -X", u"x.dll", false, false},
    {"non-ASCII name kept", u"\u00e9t\u00e9.dll -s", u"\u00e9t\u00e9.dll", false, true},
    {"empty line is the usage case", u"", u"", false, false, ParseOutcome::Empty},
    // The buffer holds 511 units of text plus the terminator; a longer line is
    // refused whole, telling only whether it holds a silent form.
    {"longest line that fits is taken whole", std::u16string(508, u'a') + u" -u",
     std::u16string(508, u'a'), true, false},
    {"exactly 512 units", std::u16string(512, u'a'), u"", false, false, ParseOutcome::TooLong},
    {"one over with a trailing unregister", std::u16string(509, u'a') + u" -u", u"", false, false,
     ParseOutcome::TooLong},
    {"silent form past the capacity", std::u16string(600, u'a') + u" -s", u"", false, true,
     ParseOutcome::TooLong},
    {"silent slash form in front", u"/S " + std::u16string(600, u'a'), u"", false, true,
     ParseOutcome::TooLong},
    {"very long", std::u16string(100000, u'b'), u"", false, false, ParseOutcome::TooLong},
};

INSTANTIATE_TEST_SUITE_P(CommandLines, ParseTest, ::testing::ValuesIn(parseCases), CaseName());

}  // namespace
