// The Windows CE binding of PlatformServices and the entry logic.
//
// Every operation is a COREDLL.dll import by ordinal: the import slots are
// generated from coredll_imports.table, and the loader overwrites each one with
// the operation's address before the entry runs. Most slots already have the
// type of the PlatformServices member they serve (wchar_t is 2 bytes with
// -fshort-wchar, so the wide texts are char16_t on both sides), and are handed
// over as they stand. Only the formatted print differs: COREDLL's is variadic.
//
// There is no process-ending import: the entry returns the status and the
// platform ends the process with it, so EndProcess stays null. Whether a box
// can be seen is not asked (someone may always be at a CE screen), but the
// run's decision is kept for the entry's exception filter (PrepareRun).
#include "registration/platform_services.h"
#include "registration/registration_run.h"

extern "C" {
extern decltype(PlatformServices::LoadModule) comenrol_import_LoadModule;
extern decltype(PlatformServices::FindEntry) comenrol_import_FindEntry;
extern decltype(PlatformServices::LastErrorCode) comenrol_import_LastErrorCode;
extern int (*comenrol_import_FormatText)(char16_t* destination, const char16_t* format, ...);
extern decltype(PlatformServices::ShowMessageBox) comenrol_import_ShowMessageBox;
extern decltype(PlatformServices::FindSubstring) comenrol_import_FindSubstring;
extern decltype(PlatformServices::FindUnit) comenrol_import_FindUnit;
extern decltype(PlatformServices::FillBytes) comenrol_import_FillBytes;

int32_t ComenrolEntry(void* instance, void* previousInstance, const char16_t* commandLine,
                      int showState);

// Set once the run has decided to show no box; read by the entry's exception
// filter, which then takes every exception instead of leaving it to a system
// box that nobody would answer. Clear until then. Kept with the initialised
// data: the image has no uninitialised section.
[[gnu::section(".data.comenrol_run_shows_no_box")]] bool comenrol_run_shows_no_box = false;
}

namespace {

int FormatText(char16_t* destination, const char16_t* format, int32_t value) {
  return comenrol_import_FormatText(destination, format, value);
}

void PrepareRun(bool showsBoxes) { comenrol_run_shows_no_box = !showsBoxes; }

}  // namespace

// Called by the assembly entry with the four values CE passes, once the
// initialiser tables have run; the status it returns ends the process.
int32_t ComenrolEntry(void* instance, void* previousInstance, const char16_t* commandLine,
                      int showState) {
  const PlatformServices services = {
      comenrol_import_LoadModule,
      comenrol_import_FindEntry,
      comenrol_import_LastErrorCode,
      FormatText,
      comenrol_import_ShowMessageBox,
      comenrol_import_FindSubstring,
      comenrol_import_FindUnit,
      comenrol_import_FillBytes,
      nullptr,
      nullptr,
      PrepareRun,
  };
  return RunProgram(services, instance, previousInstance, commandLine, showState);
}
