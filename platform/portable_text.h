// Text operations for bindings whose platform has no native ones: the two
// first-occurrence searches, the byte fill and the two-form formatter.
// Freestanding, like the core, so that a binding without a C runtime can use it.
#pragma once

#include <stddef.h>
#include <stdint.h>

const char16_t* PortableFindSubstring(const char16_t* text, const char16_t* pattern);
const char16_t* PortableFindUnit(const char16_t* text, char16_t unit);
void* PortableFillBytes(void* destination, int value, size_t count);

// Copies the format to the destination, replacing "%i" with the value in
// signed decimal, "%08X" with eight upper-case hex digits and "%%" with "%".
// Any other "%" sequence is copied as it stands. Returns the units written,
// not counting the terminator.
int PortableFormatText(char16_t* destination, const char16_t* format, int32_t value);
