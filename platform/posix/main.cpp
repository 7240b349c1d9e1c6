// The host program entry: the argument text is argv[1..] joined by spaces, in
// UTF-16; the C runtime has run the initialisers, and EndProcess ends the
// process with the run's status (a shell sees its low 8 bits).
#include <string>

#include "platform/posix/posix_platform.h"
#include "platform/posix/utf16_host_text.h"
#include "registration/registration_run.h"

int main(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  const std::u16string commandLine = BuildHostCommandLine(argc, argv);
  return RunProgram(PosixPlatformServices(), nullptr, nullptr, commandLine.c_str(), 0);
}
