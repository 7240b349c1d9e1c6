// The Windows CE x86 binding of PlatformServices and the entry logic.
//
// Every operation is a COREDLL.dll import by ordinal: the import library is
// generated from platform/wince/coredll_imports.table, and the loader fills
// each slot __imp__comenrol_import_<operation> with the operation's address
// before the entry runs. The slots carry COREDLL's own conventions: the system
// functions pop their arguments (stdcall), the C library's leave them to the
// caller (cdecl, as every PlatformServices member is). The searches and the
// fill are handed over as they stand; the others are called through small
// caller-cleans functions of the same signature.
//
// There is no process-ending import: the entry returns the status and the
// platform ends the process with it, so EndProcess stays null.
#include "registration/platform_services.h"
#include "registration/registration_run.h"

extern "C" {
extern ModuleHandle(__stdcall* const comenrol_import_LoadModule)(const char16_t* path) asm(
    "__imp__comenrol_import_LoadModule");
extern SelfRegistrationEntry(__stdcall* const comenrol_import_FindEntry)(
    ModuleHandle module, const char16_t* name) asm("__imp__comenrol_import_FindEntry");
extern uint32_t(__stdcall* const comenrol_import_LastErrorCode)() asm(
    "__imp__comenrol_import_LastErrorCode");
extern int(__stdcall* const comenrol_import_ShowMessageBox)(
    void* owner, const char16_t* text, const char16_t* caption,
    uint32_t style) asm("__imp__comenrol_import_ShowMessageBox");
extern int (*const comenrol_import_FormatText)(char16_t* destination, const char16_t* format,
                                               ...) asm("__imp__comenrol_import_FormatText");
extern const decltype(PlatformServices::FindSubstring) comenrol_import_FindSubstring asm(
    "__imp__comenrol_import_FindSubstring");
extern const decltype(PlatformServices::FindUnit) comenrol_import_FindUnit asm(
    "__imp__comenrol_import_FindUnit");
extern const decltype(PlatformServices::FillBytes) comenrol_import_FillBytes asm(
    "__imp__comenrol_import_FillBytes");

// Read by the exception handler in entry.S: set for a run that shows no box.
bool comenrol_run_shows_no_box = false;

int32_t ComenrolEntry(void* instance, void* previousInstance, const char16_t* commandLine,
                      int showState);
}

namespace {

ModuleHandle LoadModule(const char16_t* path) { return comenrol_import_LoadModule(path); }

SelfRegistrationEntry FindEntry(ModuleHandle module, const char16_t* name) {
  return comenrol_import_FindEntry(module, name);
}

uint32_t LastErrorCode() { return comenrol_import_LastErrorCode(); }

int FormatText(char16_t* destination, const char16_t* format, int32_t value) {
  return comenrol_import_FormatText(destination, format, value);
}

int ShowMessageBox(void* owner, const char16_t* text, const char16_t* caption, uint32_t style) {
  return comenrol_import_ShowMessageBox(owner, text, caption, style);
}

void PrepareRun(bool showsBoxes) { comenrol_run_shows_no_box = !showsBoxes; }

}  // namespace

// Called by the assembly entry with the four values CE passes; the status it
// returns ends the process.
int32_t ComenrolEntry(void* instance, void* previousInstance, const char16_t* commandLine,
                      int showState) {
  PlatformServices services = {};
  services.LoadModule = LoadModule;
  services.FindEntry = FindEntry;
  services.LastErrorCode = LastErrorCode;
  services.FormatText = FormatText;
  services.ShowMessageBox = ShowMessageBox;
  services.FindSubstring = comenrol_import_FindSubstring;
  services.FindUnit = comenrol_import_FindUnit;
  services.FillBytes = comenrol_import_FillBytes;
  services.PrepareRun = PrepareRun;
  return RunProgram(services, instance, previousInstance, commandLine, showState);
}
