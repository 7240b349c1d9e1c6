// Everything the user is told: the caption, the two styles and the seven texts.
#pragma once

#include <stdint.h>

constexpr const char16_t* MessageCaption = u"comenrol.exe";

constexpr uint32_t MessageStyleInformation = 0x40;  // information icon, OK button
constexpr uint32_t MessageStyleError = 0x10;        // error icon, OK button

constexpr const char16_t* UsageText =
    u"Invalid command line arguments.\n\nUse the following syntax:\n"
    u"comenrol.exe DLLNAME [-u] [-s]\n-u - unregister\n-s - silent mode";
constexpr const char16_t* LoadFailedText = u"Error loading module.\nError %i.";
constexpr const char16_t* EntryNotFoundText = u"Unable to get function address.\nError %i.";
constexpr const char16_t* RegisterFailedText = u"Error.\nDllRegisterServer returned:\n0x%08X.";
constexpr const char16_t* UnregisterFailedText = u"Error.\nDllUnregisterServer returned:\n0x%08X.";
constexpr const char16_t* RegisterSucceededText = u"DllRegisterServer succeeded.";
constexpr const char16_t* UnregisterSucceededText = u"DllUnregisterServer succeeded.";

constexpr const char16_t* RegisterEntryName = u"DllRegisterServer";
constexpr const char16_t* UnregisterEntryName = u"DllUnregisterServer";
