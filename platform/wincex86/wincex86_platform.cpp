// The Windows CE x86 binding of PlatformServices and the entry logic, for
// every generation from CE 4.20 to Compact 2013.
//
// The system operations are COREDLL.dll imports by ordinal: the import
// library is generated from platform/wince/coredll_imports.table, and the
// loader fills each slot __imp__comenrol_import_<operation> with the
// operation's address before the entry runs. They pop their arguments
// (stdcall), so they are called through small caller-cleans functions of the
// core's signatures. The text operations are the generation's own
// (AddTextOperations): COREDLL's C library on CE 4.20 to 7, the portable
// routines on Compact 2013, whose COREDLL no longer has them.
//
// There is no process-ending member: the entry returns the status and the
// platform ends the process with it, so EndProcess stays null.
#include "platform/wincex86/wincex86_platform.h"

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
  services.ShowMessageBox = ShowMessageBox;
  services.PrepareRun = PrepareRun;
  AddTextOperations(services);
  return RunProgram(services, instance, previousInstance, commandLine, showState);
}
