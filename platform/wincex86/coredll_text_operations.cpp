// The text operations on CE 4.20 to 7: COREDLL.dll's C library, by ordinal.
// They leave their arguments to the caller (cdecl), as the core's members do,
// so the searches and the fill are handed over as they stand; swprintf is
// variadic and is called through a function of the core's signature.
#include "platform/wincex86/wincex86_platform.h"

extern "C" {
extern int (*const comenrol_import_FormatText)(char16_t* destination, const char16_t* format,
                                               ...) asm("__imp__comenrol_import_FormatText");
extern const decltype(PlatformServices::FindSubstring) comenrol_import_FindSubstring asm(
    "__imp__comenrol_import_FindSubstring");
extern const decltype(PlatformServices::FindUnit) comenrol_import_FindUnit asm(
    "__imp__comenrol_import_FindUnit");
extern const decltype(PlatformServices::FillBytes) comenrol_import_FillBytes asm(
    "__imp__comenrol_import_FillBytes");
}

namespace {

int FormatText(char16_t* destination, const char16_t* format, int32_t value) {
  return comenrol_import_FormatText(destination, format, value);
}

}  // namespace

void AddTextOperations(PlatformServices& services) {
  services.FormatText = FormatText;
  services.FindSubstring = comenrol_import_FindSubstring;
  services.FindUnit = comenrol_import_FindUnit;
  services.FillBytes = comenrol_import_FillBytes;
}
