// What the CE x86 binding takes from its generation's own file.
#pragma once

#include "registration/platform_services.h"

// Fills in FormatText, FindSubstring, FindUnit and FillBytes.
void AddTextOperations(PlatformServices& services);
