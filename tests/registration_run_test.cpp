// The registration run against the recording double: one case per outcome.
#include "registration/registration_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/case_name.h"
#include "tests/expected_outcomes.h"
#include "tests/recording_platform.h"

namespace {

using namespace expected;
using Calls = std::vector<std::string>;

const Calls showFormatted = {"LastErrorCode", "FormatText", "ShowMessageBox"};

Calls Join(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Whether the platform can tell if anybody could see a box: one that cannot
// is never asked; one that can is asked once, never by a silent run, and told
// before anything is loaded whether the run shows boxes. When nobody could see
// a box there is none, and every status stays the same.
enum class Boxes { NotAsked, Seen, Unseen };

struct RunCase {
  const char* what;
  std::u16string commandLine;
  RecordingScript script;
  int32_t status;
  std::string boxText;  // empty: no box
  Calls calls;
  std::string loadedName;
  std::string entryName;
  Boxes boxes = Boxes::NotAsked;
};

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, ShowsAtMostOneBoxAndReturnsTheStatus) {
  const RunCase& c = GetParam();
  const PlatformServices& services =
      c.boxes == Boxes::NotAsked
          ? RecordingPlatform(c.script)
          : RecordingPlatformWithBoxQuestions(c.script, c.boxes == Boxes::Seen);

  EXPECT_EQ(RunRegistration(services, nullptr, nullptr, c.commandLine.c_str(), 0), c.status);

  const Recording& seen = Recorded();
  EXPECT_EQ(seen.calls, c.calls);
  if (c.boxes != Boxes::NotAsked) {
    EXPECT_EQ(seen.preparedShowsBoxes, std::vector<bool>{!c.boxText.empty()});
  }
  EXPECT_EQ(seen.loadedName, Utf16(c.loadedName));
  EXPECT_EQ(seen.entryName, Utf16(c.entryName));
  if (c.boxText.empty()) {
    EXPECT_TRUE(seen.boxes.empty());
  } else {
    ASSERT_EQ(seen.boxes.size(), 1u);
    EXPECT_EQ(seen.boxes[0].text, Utf16(c.boxText));
    EXPECT_EQ(seen.boxes[0].caption, Utf16(Caption));
    EXPECT_EQ(seen.boxes[0].style, Style(c.status));
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
const Calls throughFailure = Join(throughEntry, {"FormatText", "ShowMessageBox"});
const Calls throughSuccess = Join(throughEntry, {"ShowMessageBox"});
const std::string reg = "DllRegisterServer";
const std::string unreg = "DllUnregisterServer";
const std::u16string overLong(600, u'a');
const Calls asked = {"BoxesCanBeSeen", "PrepareRun"};

const RunCase runCases[] = {
    {"empty line shows usage", u"", {}, UsageStatus, Usage, {"ShowMessageBox"}, "", ""},
    {"over-long line shows usage", overLong, {}, UsageStatus, Usage, {"ShowMessageBox"}, "", ""},
    {"silent over-long line shows nothing", overLong + u" -s", {}, UsageStatus, "", {}, "", ""},
    {"load fails", u"x.dll", LoadFails(2), LoadFailedStatus, LoadFailed(2),
     Join(loadOnly, showFormatted), "x.dll", ""},
    {"load error with the sign bit prints a minus", u"x.dll", LoadFails(0x80070005u),
     LoadFailedStatus, LoadFailed(-2147024891), Join(loadOnly, showFormatted), "x.dll", ""},
    {"silent load failure reads no error", u"x.dll -s", LoadFails(2), LoadFailedStatus, "",
     loadOnly, "x.dll", ""},
    {"spaces only still loads an empty name", u"   ", LoadFails(2), LoadFailedStatus, LoadFailed(2),
     Join(loadOnly, showFormatted), "", ""},
    {"options first load an empty name silently", u"-s x.dll", LoadFails(2), LoadFailedStatus, "",
     loadOnly, "", ""},
    {"register entry missing", u"x.dll", FindFails(127), EntryNotFoundStatus, EntryNotFound(127),
     Join(loadAndFind, showFormatted), "x.dll", reg},
    {"unregister entry missing", u"x.dll -u", FindFails(127), EntryNotFoundStatus,
     EntryNotFound(127), Join(loadAndFind, showFormatted), "x.dll", unreg},
    {"silent missing entry", u"x.dll /u /s", FindFails(127), EntryNotFoundStatus, "", loadAndFind,
     "x.dll", unreg},
    {"register fails", u"x.dll", EntryReturns(static_cast<int32_t>(0x80004005u)), EntryFailedStatus,
     RegisterFailed(0x80004005u), throughFailure, "x.dll", reg},
    {"unregister fails on the sign bit alone", u"x.dll -u",
     EntryReturns(static_cast<int32_t>(0x80000000u)), EntryFailedStatus,
     UnregisterFailed(0x80000000u), throughFailure, "x.dll", unreg},
    {"silent failure", u"x.dll -S", EntryReturns(-1), EntryFailedStatus, "", throughEntry, "x.dll",
     reg},
    {"register succeeds", u"x.dll", EntryReturns(0), SucceededStatus, Registered, throughSuccess,
     "x.dll", reg},
    {"positive status is success", u"x.dll", EntryReturns(1), SucceededStatus, Registered,
     throughSuccess, "x.dll", reg},
    {"largest positive status is success", u"x.dll -U", EntryReturns(0x7FFFFFFF), SucceededStatus,
     Unregistered, throughSuccess, "x.dll", unreg},
    {"silent success", u"\"my x.dll\" -u -s", EntryReturns(0), SucceededStatus, "", throughEntry,
     "my x.dll", unreg},
    {"seen success", u"x.dll", EntryReturns(0), SucceededStatus, Registered,
     Join(asked, throughSuccess), "x.dll", reg, Boxes::Seen},
    {"unseen success", u"x.dll", EntryReturns(0), SucceededStatus, "", Join(asked, throughEntry),
     "x.dll", reg, Boxes::Unseen},
    {"unseen load failure reads no error", u"x.dll", LoadFails(2), LoadFailedStatus, "",
     Join(asked, loadOnly), "x.dll", "", Boxes::Unseen},
    {"unseen usage", u"", EntryReturns(0), UsageStatus, "", asked, "", "", Boxes::Unseen},
    {"silent run never asks", u"x.dll -s", EntryReturns(-1), EntryFailedStatus, "",
     Join({"PrepareRun"}, throughEntry), "x.dll", reg, Boxes::Seen},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, RunTest, ::testing::ValuesIn(runCases), CaseName());

TEST(RunProgramTest, EndsTheProcessWithTheRunsStatus) {
  const PlatformServices& services = RecordingPlatformWithEnd(EntryReturns(-5));
  RunProgram(services, nullptr, nullptr, u"x.dll -s", 0);
  EXPECT_EQ(Recorded().calls.back(), "EndProcess");
  EXPECT_EQ(Recorded().endStatus, EntryFailedStatus);
}

TEST(RunProgramTest, ReturnsTheStatusWhereTheEntryEndsTheProcess) {
  const PlatformServices& services = RecordingPlatform(LoadFails(2));
  EXPECT_EQ(RunProgram(services, nullptr, nullptr, u"x.dll -s", 0), LoadFailedStatus);
  EXPECT_EQ(Recorded().calls, loadOnly);
}

}  // namespace
