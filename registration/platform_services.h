// The operations the registration core needs from the operating system.
//
// A plain record of function pointers: each platform binding fills one in and
// hands it to the core, so the core itself never names an operating system
// call and one source serves every target.
#pragma once

#include <stddef.h>
#include <stdint.h>

// An opaque handle to a loaded module; null means "not loaded".
using ModuleHandle = void*;

// A module's self-registration export: no arguments, a signed 32-bit status
// in the COM convention (negative is a failure).
using SelfRegistrationEntry = int32_t (*)();

struct PlatformServices {
  // Loads the module at the given path. Returns null on any failure, with
  // the reason left for LastErrorCode.
  ModuleHandle (*LoadModule)(const char16_t* path);

  // Finds an export by name. Returns null when there is no such export, with
  // the reason left for LastErrorCode.
  SelfRegistrationEntry (*FindEntry)(ModuleHandle module, const char16_t* name);

  // The calling thread's last error code, 32 bits.
  uint32_t (*LastErrorCode)();

  // Writes the format text into the destination with one 32-bit value:
  // "%i" as signed decimal, "%08X" as eight upper-case hex digits. The
  // destination holds at least CommandLineCapacity units; the count returned
  // is ignored by the core.
  int (*FormatText)(char16_t* destination, const char16_t* format, int32_t value);

  // Shows a modal box (owner, text, caption, style) and returns once it is
  // dismissed; the answer is ignored by the core.
  int (*ShowMessageBox)(void* owner, const char16_t* text, const char16_t* caption, uint32_t style);

  // First occurrence of the pattern in the text, or null.
  const char16_t* (*FindSubstring)(const char16_t* text, const char16_t* pattern);

  // First occurrence of the unit in the text, or null. The terminating NUL
  // itself is found when asked for.
  const char16_t* (*FindUnit)(const char16_t* text, char16_t unit);

  // Sets count bytes at the destination to the byte value.
  void* (*FillBytes)(void* destination, int value, size_t count);

  // Ends the process with the status and does not return. Null on a platform
  // where the program entry ends the process by returning the status.
  void (*EndProcess)(int32_t status);

  // Whether a box this process shows could be seen and answered by a person.
  // Asked at most once per run, and never by a silent one, so a silent run
  // pays nothing for the question. Null where a box can always be seen.
  bool (*BoxesCanBeSeen)();

  // Told once per run, straight after the parse and before anything is
  // loaded, whether the run may show boxes, so that a platform can keep its
  // own error boxes and fault reports from waiting on a run that shows none.
  // Null where a platform has nothing to do with it.
  void (*PrepareRun)(bool showsBoxes);
};
