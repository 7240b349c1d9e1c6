// The registration run against the recording double: one case per outcome.
#include "registration/registration_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registration/messages.h"
#include "tests/case_name.h"
#include "tests/recording_platform.h"

namespace {

const std::u16string Usage =
    u"Invalid command line arguments.\n\nUse the following syntax:\n"
    u"comenrol.exe DLLNAME [-u] [-s]\n-u - unregister\n-s - silent mode";

using Calls = std::vector<std::string>;

const Calls showFormatted = {"LastErrorCode", "FormatText", "ShowMessageBox"};

Calls Join(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct RunCase {
  const char* what;
  std::u16string commandLine;
  RecordingScript script;
  ExitStatus status;
  std::u16string boxText;  // empty: no box
  uint32_t boxStyle;
  Calls calls;
  std::u16string loadedName;
  std::u16string entryName;
};

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, ShowsAtMostOneBoxAndReturnsTheStatus) {
  const RunCase& c = GetParam();
  const PlatformServices& services = RecordingPlatform(c.script);

  EXPECT_EQ(RunRegistration(services, nullptr, nullptr, c.commandLine.c_str(), 0), c.status);

  const Recording& seen = Recorded();
  EXPECT_EQ(seen.calls, c.calls);
  EXPECT_EQ(seen.loadedName, c.loadedName);
  EXPECT_EQ(seen.entryName, c.entryName);
  if (c.boxText.empty()) {
    EXPECT_TRUE(seen.boxes.empty());
  } else {
    ASSERT_EQ(seen.boxes.size(), 1u);
    EXPECT_EQ(seen.boxes[0].text, c.boxText);
    EXPECT_EQ(seen.boxes[0].caption, u"comenrol.exe");
    EXPECT_EQ(seen.boxes[0].style, c.boxStyle);
    EXPECT_EQ(seen.boxes[0].owner, nullptr);
    EXPECT_EQ(seen.calls.back(), "ShowMessageBox");  // the box is the run's last act
  }
  // The entry, when reached, is called once, straight after it was found.
  for (size_t i = 0; i < seen.calls.size(); ++i) {
    if (seen.calls[i] == "Entry") {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(seen.calls[i - 1], "FindEntry");
    }
  }
  EXPECT_LE(seen.entryCalls, 1);
}

RecordingScript LoadFails(uint32_t error) { return {false, true, 0, error}; }
RecordingScript FindFails(uint32_t error) { return {true, false, 0, error}; }
RecordingScript EntryReturns(int32_t status) { return {true, true, status, 0}; }

const Calls loadOnly = {"LoadModule"};
const Calls loadAndFind = {"LoadModule", "FindEntry"};
const Calls throughEntry = {"LoadModule", "FindEntry", "Entry"};
const std::u16string reg = u"DllRegisterServer";
const std::u16string unreg = u"DllUnregisterServer";

const RunCase runCases[] = {
    {"empty line shows usage", u"", {}, StatusUsage, Usage, 0x40, {"ShowMessageBox"}, u"", u""},
    {"over-long line shows usage",
     std::u16string(600, u'a'),
     {},
     StatusUsage,
     Usage,
     0x40,
     {"ShowMessageBox"},
     u"",
     u""},
    {"silent over-long line shows nothing",
     std::u16string(600, u'a') + u" -s",
     {},
     StatusUsage,
     u"",
     0,
     {},
     u"",
     u""},
    {"load fails", u"x.dll", LoadFails(2), StatusLoadFailed, u"Error loading module.\nError 2.",
     0x10, Join(loadOnly, showFormatted), u"x.dll", u""},
    {"load error with the sign bit prints a minus", u"x.dll", LoadFails(0x80070005u),
     StatusLoadFailed, u"Error loading module.\nError -2147024891.", 0x10,
     Join(loadOnly, showFormatted), u"x.dll", u""},
    {"silent load failure reads no error", u"x.dll -s", LoadFails(2), StatusLoadFailed, u"", 0,
     loadOnly, u"x.dll", u""},
    {"spaces only still loads an empty name", u"   ", LoadFails(2), StatusLoadFailed,
     u"Error loading module.\nError 2.", 0x10, Join(loadOnly, showFormatted), u"", u""},
    {"options first load an empty name silently", u"-s x.dll", LoadFails(2), StatusLoadFailed, u"",
     0, loadOnly, u"", u""},
    {"register entry missing", u"x.dll", FindFails(127), StatusEntryNotFound,
     u"Unable to get function address.\nError 127.", 0x10, Join(loadAndFind, showFormatted),
     u"x.dll", reg},
    {"unregister entry missing", u"x.dll -u", FindFails(127), StatusEntryNotFound,
     u"Unable to get function address.\nError 127.", 0x10, Join(loadAndFind, showFormatted),
     u"x.dll", unreg},
    {"silent missing entry", u"x.dll /u /s", FindFails(127), StatusEntryNotFound, u"", 0,
     loadAndFind, u"x.dll", unreg},
    {"register fails",
     u"x.dll",
     EntryReturns(static_cast<int32_t>(0x80004005u)),
     StatusEntryFailed,
     u"Error.\nDllRegisterServer returned:\n0x80004005.",
     0x10,
     {"LoadModule", "FindEntry", "Entry", "FormatText", "ShowMessageBox"},
     u"x.dll",
     reg},
    {"unregister fails on the sign bit alone",
     u"x.dll -u",
     EntryReturns(static_cast<int32_t>(0x80000000u)),
     StatusEntryFailed,
     u"Error.\nDllUnregisterServer returned:\n0x80000000.",
     0x10,
     {"LoadModule", "FindEntry", "Entry", "FormatText", "ShowMessageBox"},
     u"x.dll",
     unreg},
    {"silent failure", u"x.dll -S", EntryReturns(-1), StatusEntryFailed, u"", 0, throughEntry,
     u"x.dll", reg},
    {"register succeeds", u"x.dll", EntryReturns(0), StatusSucceeded,
     u"DllRegisterServer succeeded.", 0x40, Join(throughEntry, {"ShowMessageBox"}), u"x.dll", reg},
    {"positive status is success", u"x.dll", EntryReturns(1), StatusSucceeded,
     u"DllRegisterServer succeeded.", 0x40, Join(throughEntry, {"ShowMessageBox"}), u"x.dll", reg},
    {"largest positive status is success", u"x.dll -U", EntryReturns(0x7FFFFFFF), StatusSucceeded,
     u"DllUnregisterServer succeeded.", 0x40, Join(throughEntry, {"ShowMessageBox"}), u"x.dll",
     unreg},
    {"silent success", u"\"my x.dll\" -u -s", EntryReturns(0), StatusSucceeded, u"", 0,
     throughEntry, u"my x.dll", unreg},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, RunTest, ::testing::ValuesIn(runCases), CaseName());

// A platform that can tell whether anybody could see a box: it is asked once,
// never by a silent run, and told the answer before anything is loaded; when
// nobody could see a box there is none, and every status stays the same.
struct BoxQuestionCase {
  const char* what;
  std::u16string commandLine;
  RecordingScript script;
  bool canBeSeen;
  ExitStatus status;
  Calls calls;
  bool preparedShowsBoxes;
};

class BoxQuestionTest : public ::testing::TestWithParam<BoxQuestionCase> {};

TEST_P(BoxQuestionTest, DecidesOnceBeforeLoading) {
  const BoxQuestionCase& c = GetParam();
  const PlatformServices& services = RecordingPlatformWithBoxQuestions(c.script, c.canBeSeen);
  EXPECT_EQ(RunRegistration(services, nullptr, nullptr, c.commandLine.c_str(), 0), c.status);
  EXPECT_EQ(Recorded().calls, c.calls);
  EXPECT_EQ(Recorded().preparedShowsBoxes, std::vector<bool>{c.preparedShowsBoxes});
}

const Calls asked = {"BoxesCanBeSeen", "PrepareRun"};
const Calls notAsked = {"PrepareRun"};

const BoxQuestionCase boxQuestionCases[] = {
    {"seen success", u"x.dll", EntryReturns(0), true, StatusSucceeded,
     Join(asked, {"LoadModule", "FindEntry", "Entry", "ShowMessageBox"}), true},
    {"unseen success", u"x.dll", EntryReturns(0), false, StatusSucceeded, Join(asked, throughEntry),
     false},
    {"unseen load failure reads no error", u"x.dll", LoadFails(2), false, StatusLoadFailed,
     Join(asked, loadOnly), false},
    {"unseen usage", u"", EntryReturns(0), false, StatusUsage, asked, false},
    {"silent run never asks", u"x.dll -s", EntryReturns(-1), true, StatusEntryFailed,
     Join(notAsked, throughEntry), false},
};

INSTANTIATE_TEST_SUITE_P(Visibility, BoxQuestionTest, ::testing::ValuesIn(boxQuestionCases),
                         CaseName());

TEST(RunProgramTest, EndsTheProcessWithTheRunsStatus) {
  const PlatformServices& services = RecordingPlatformWithEnd(EntryReturns(-5));
  RunProgram(services, nullptr, nullptr, u"x.dll -s", 0);
  EXPECT_EQ(Recorded().calls.back(), "EndProcess");
  EXPECT_EQ(Recorded().endStatus, StatusEntryFailed);
}

TEST(RunProgramTest, ReturnsTheStatusWhereTheEntryEndsTheProcess) {
  const PlatformServices& services = RecordingPlatform(LoadFails(2));
  EXPECT_EQ(RunProgram(services, nullptr, nullptr, u"x.dll -s", 0), StatusLoadFailed);
  EXPECT_EQ(Recorded().calls, loadOnly);
}

}  // namespace
