// A PlatformServices double that records every operation the core calls and
// answers from a programmed script. The text operations are the portable ones,
// so the parse runs for real.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "registration/platform_services.h"

struct RecordedBox {
  const void* owner;
  std::u16string text;
  std::u16string caption;
  uint32_t style;
};

struct RecordingScript {
  bool loadSucceeds = true;
  bool findSucceeds = true;
  int32_t entryStatus = 0;
  uint32_t lastError = 0;
};

struct Recording {
  RecordingScript script;
  // Every call in order: "LoadModule", "FindEntry", "LastErrorCode",
  // "FormatText", "ShowMessageBox", "Entry", "EndProcess".
  std::vector<std::string> calls;
  std::u16string loadedName;
  std::u16string entryName;
  std::vector<RecordedBox> boxes;
  int entryCalls = 0;
  int32_t endStatus = 0;
  std::vector<bool> preparedShowsBoxes;  // each value PrepareRun was told
};

// Resets the recording, programs it with the script and returns the double.
const PlatformServices& RecordingPlatform(const RecordingScript& script);
// What the double saw since the last reset.
const Recording& Recorded();
// The double with EndProcess recorded (it returns, which a real one never does).
const PlatformServices& RecordingPlatformWithEnd(const RecordingScript& script);
// The double of a platform that tells whether a box can be seen (recorded as
// "BoxesCanBeSeen", answering canBeSeen) and wants to know whether the run
// shows boxes (recorded as "PrepareRun").
const PlatformServices& RecordingPlatformWithBoxQuestions(const RecordingScript& script,
                                                          bool canBeSeen);
