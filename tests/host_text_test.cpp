// Host arguments into the UTF-16 command line and back out to the loader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/utf16_host_text.h"

namespace {

TEST(HostTextTest, EveryByteStringRoundTrips) {
  const std::vector<std::string> samples = {
      "plain.so",
      "caf\xC3\xA9.so",                  // valid two-byte UTF-8
      "\xF0\x9F\x98\x80.so",             // outside the basic plane
      "bad\xFF\xFE.so",                  // not UTF-8 at all
      "half\xC3",                        // truncated sequence at the end
      "\xC0\xAF overlong",               // overlong "/"
      "\xED\xA0\x80 encoded surrogate",  // surrogates are not valid UTF-8
      "\xF4\x90\x80\x80 past the last code point",
      std::string("\x80\x81\xBF", 3),
  };
  for (const std::string& bytes : samples) {
    EXPECT_EQ(EncodeHostText(DecodeHostText(bytes)), bytes) << bytes;
  }
}

TEST(HostTextTest, ValidUtf8BecomesTheSameCharacters) {
  EXPECT_EQ(DecodeHostText("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(DecodeHostText("\xF0\x9F\x98\x80"), u"\U0001F600");
  // An invalid byte is kept as an escape, never replaced by U+FFFD.
  EXPECT_EQ(DecodeHostText("a\xFF"), std::u16string(u"a") + char16_t(0xDCFF));
}

struct CommandLineCase {
  std::vector<const char*> arguments;
  std::u16string commandLine;
};

TEST(HostTextTest, ArgumentsJoinWithSlashesCarriedAsBackslashes) {
  const CommandLineCase cases[] = {
      {{}, u""},
      {{"/tmp/x.so"}, u"\\tmp\\x.so"},
      {{"/tmp/x.so", "/u", "/s"}, u"\\tmp\\x.so /u /s"},
      {{"/tmp/x.so", "-U", "/S"}, u"\\tmp\\x.so -U /S"},
      {{"/tmp/my dir/x.so", "-u"}, u"\\tmp\\my dir\\x.so -u"},
      {{"/u/x.so"}, u"\\u\\x.so"},  // not exactly an option form
      {{"//s"}, u"\\\\s"},
      {{""}, u""},
      {{"", ""}, u" "},
  };
  for (const CommandLineCase& c : cases) {
    std::vector<const char*> argv = {"comenrol"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(BuildHostCommandLine(static_cast<int>(argv.size()), argv.data()), c.commandLine);
  }
}

}  // namespace
