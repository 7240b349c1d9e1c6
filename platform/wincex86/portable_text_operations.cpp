// The text operations on Compact 2013: the portable routines, linked into the
// image. This generation's C library lives in msvcrt.dll, whose ordinals are
// not published, and an import a device lacks ends the process with status 0
// before the entry runs: a false success.
#include "platform/portable_text.h"
#include "platform/wincex86/wincex86_platform.h"

void AddTextOperations(PlatformServices& services) {
  services.FormatText = PortableFormatText;
  services.FindSubstring = PortableFindSubstring;
  services.FindUnit = PortableFindUnit;
  services.FillBytes = PortableFillBytes;
}
