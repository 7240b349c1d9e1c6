#include "tests/recording_platform.h"

#include "platform/portable_text.h"

namespace {

Recording recording;
bool boxesCanBeSeen = true;
int moduleToken;  // its address stands for the loaded module

int32_t Entry() {
  recording.calls.push_back("Entry");
  ++recording.entryCalls;
  return recording.script.entryStatus;
}

ModuleHandle LoadModule(const char16_t* path) {
  recording.calls.push_back("LoadModule");
  recording.loadedName = path;
  return recording.script.loadSucceeds ? &moduleToken : nullptr;
}

SelfRegistrationEntry FindEntry(ModuleHandle module, const char16_t* name) {
  recording.calls.push_back("FindEntry");
  recording.entryName = name;
  if (module != &moduleToken || !recording.script.findSucceeds) {
    return nullptr;
  }
  return Entry;
}

uint32_t LastErrorCode() {
  recording.calls.push_back("LastErrorCode");
  return recording.script.lastError;
}

int FormatText(char16_t* destination, const char16_t* format, int32_t value) {
  recording.calls.push_back("FormatText");
  return PortableFormatText(destination, format, value);
}

int ShowMessageBox(void* owner, const char16_t* text, const char16_t* caption, uint32_t style) {
  recording.calls.push_back("ShowMessageBox");
  recording.boxes.push_back({owner, text, caption, style});
  return 1;
}

void EndProcess(int32_t status) {
  recording.calls.push_back("EndProcess");
  recording.endStatus = status;
}

bool BoxesCanBeSeen() {
  recording.calls.push_back("BoxesCanBeSeen");
  return boxesCanBeSeen;
}

void PrepareRun(bool showsBoxes) {
  recording.calls.push_back("PrepareRun");
  recording.preparedShowsBoxes.push_back(showsBoxes);
}

// The record with the three optional operations given.
constexpr PlatformServices Services(void (*end)(int32_t), bool (*canBeSeen)(),
                                    void (*prepare)(bool)) {
  return {
      LoadModule,       FindEntry,         LastErrorCode,
      FormatText,       ShowMessageBox,    PortableFindSubstring,
      PortableFindUnit, PortableFillBytes, end,
      canBeSeen,        prepare,
  };
}

constexpr PlatformServices withoutEnd = Services(nullptr, nullptr, nullptr);
constexpr PlatformServices withEnd = Services(EndProcess, nullptr, nullptr);
constexpr PlatformServices withBoxQuestions = Services(nullptr, BoxesCanBeSeen, PrepareRun);

}  // namespace

const PlatformServices& RecordingPlatform(const RecordingScript& script) {
  recording = Recording{};
  recording.script = script;
  return withoutEnd;
}

const PlatformServices& RecordingPlatformWithEnd(const RecordingScript& script) {
  RecordingPlatform(script);
  return withEnd;
}

const PlatformServices& RecordingPlatformWithBoxQuestions(const RecordingScript& script,
                                                          bool canBeSeen) {
  RecordingPlatform(script);
  boxesCanBeSeen = canBeSeen;
  return withBoxQuestions;
}

const Recording& Recorded() { return recording; }
