// The Windows Embedded Compact 2013 binding of PlatformServices.
//
// Loading, the export lookup, the last error and the box are COREDLL.dll
// imports by ordinal (platform/wince/coredll_imports.table, the 2013 set),
// each named comenrol_import_<operation>; text search, fill and formatting are the
// portable routines linked into the image, because the C runtime that offers
// them on this generation lives in msvcrt.dll, whose ordinals are not
// published, and an import that does not resolve ends the process with status
// 0 before the entry runs.
//
// There is no process-ending member: the entry returns the status, which the
// platform hands to ExitThread, and the main thread's exit code is the
// process's. Whether a box can be seen is not asked: nothing this image may
// import tells. Nothing needs preparing either: the entry's guard already
// keeps the system's own fault treatment out of every run.
#include "platform/portable_text.h"
#include "registration/platform_services.h"
#include "registration/registration_run.h"

extern "C" {
// wchar_t is 16 bits on this target, so the wide texts are char16_t here.
// LoadLibraryW, GetProcAddressW, GetLastError and MessageBoxW.
__declspec(dllimport) ModuleHandle comenrol_import_LoadModule(const char16_t* path);
__declspec(dllimport) SelfRegistrationEntry
    comenrol_import_FindEntry(ModuleHandle module, const char16_t* name);
__declspec(dllimport) uint32_t comenrol_import_LastErrorCode();
__declspec(dllimport) int comenrol_import_ShowMessageBox(void* owner, const char16_t* text,
                                                         const char16_t* caption, uint32_t style);

// Called by the guarded entry in entry.S with the four values the platform
// passes; the status it returns ends the process.
int32_t ComenrolEntry(void* instance, void* previousInstance, const char16_t* commandLine,
                      int showState) {
  const PlatformServices services = {
      comenrol_import_LoadModule,
      comenrol_import_FindEntry,
      comenrol_import_LastErrorCode,
      PortableFormatText,  // FormatText
      comenrol_import_ShowMessageBox,
      PortableFindSubstring,  // FindSubstring
      PortableFindUnit,       // FindUnit
      PortableFillBytes,      // FillBytes
      nullptr,                // EndProcess
      nullptr,                // BoxesCanBeSeen
      nullptr,                // PrepareRun
  };
  return RunProgram(services, instance, previousInstance, commandLine, showState);
}
}
