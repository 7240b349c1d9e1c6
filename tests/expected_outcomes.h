// What a user of comenrol is shown and what a caller gets back, for the C++
// tests. Written apart from registration/messages.h on purpose: a test that
// read the product's strings would only restate them.
//   EXPECT_EQ(stderrText, expected::HostBox(expected::Error, expected::LoadFailed(2)));
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace expected {

inline const std::string Caption = "comenrol.exe";
constexpr uint32_t Information = 0x40;  // successes and the usage text
constexpr uint32_t Error = 0x10;        // every failure

constexpr int32_t SucceededStatus = 0, UsageStatus = -1, LoadFailedStatus = -2,
                  EntryNotFoundStatus = -3, EntryFailedStatus = -4;

inline const std::string Usage =
    "Invalid command line arguments.\n\nUse the following syntax:\n"
    "comenrol.exe DLLNAME [-u] [-s]\n-u - unregister\n-s - silent mode";
inline const std::string Registered = "DllRegisterServer succeeded.";
inline const std::string Unregistered = "DllUnregisterServer succeeded.";

inline std::string LoadFailed(int32_t error) {
  return "Error loading module.\nError " + std::to_string(error) + ".";
}
inline std::string EntryNotFound(int32_t error) {
  return "Unable to get function address.\nError " + std::to_string(error) + ".";
}
inline std::string EntryFailed(const std::string& entry, uint32_t status) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(status));
  return "Error.\n" + entry + " returned:\n0x" + hex + ".";
}
inline std::string RegisterFailed(uint32_t status) {
  return EntryFailed("DllRegisterServer", status);
}
inline std::string UnregisterFailed(uint32_t status) {
  return EntryFailed("DllUnregisterServer", status);
}

// The style of the box of a run that ends with the status.
constexpr uint32_t Style(int32_t status) {
  return status == SucceededStatus || status == UsageStatus ? Information : Error;
}

// A box as the POSIX host writes it to standard error.
inline std::string HostBox(uint32_t style, const std::string& text) {
  return Caption + (style == Error ? " [error]\n" : " [information]\n") + text + "\n";
}

// An ASCII text in the UTF-16 the core works in.
inline std::u16string Utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace expected
