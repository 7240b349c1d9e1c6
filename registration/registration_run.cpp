#include "registration/registration_run.h"

#include "registration/command_line.h"
#include "registration/messages.h"

namespace {

void Show(const PlatformServices& services, const char16_t* text, uint32_t style) {
  services.ShowMessageBox(nullptr, text, MessageCaption, style);
}

// Formats the text with the value into the working buffer and shows it.
void ShowFormatted(const PlatformServices& services, char16_t (&buffer)[CommandLineCapacity],
                   const char16_t* format, int32_t value, uint32_t style) {
  services.FormatText(buffer, format, value);
  Show(services, buffer, style);
}

}  // namespace

ExitStatus RunRegistration(const PlatformServices& services, void* /*instance*/,
                           void* /*previousInstance*/, const char16_t* commandLine,
                           int /*showState*/) {
  char16_t buffer[CommandLineCapacity];
  RegistrationRequest request;

  const ParseOutcome outcome = ParseCommandLine(services, commandLine, buffer, request);

  // Decided once for the whole run: no box when silent, and none that nobody
  // could see and answer. Either way every status stays what it would be.
  const bool showsBoxes =
      !request.silent && (services.BoxesCanBeSeen == nullptr || services.BoxesCanBeSeen());
  if (services.PrepareRun != nullptr) {
    services.PrepareRun(showsBoxes);
  }

  if (outcome != ParseOutcome::Request) {
    // An empty line holds no silent form, so its usage box is shown wherever
    // a person can see it. A line too long to take is refused the same way,
    // but a silent caller must never be left with a box that waits.
    if (showsBoxes) {
      Show(services, UsageText, MessageStyleInformation);
    }
    return StatusUsage;
  }

  const ModuleHandle module = services.LoadModule(request.moduleName);
  if (module == nullptr) {
    if (showsBoxes) {
      ShowFormatted(services, buffer, LoadFailedText,
                    static_cast<int32_t>(services.LastErrorCode()), MessageStyleError);
    }
    return StatusLoadFailed;
  }

  const SelfRegistrationEntry entry =
      services.FindEntry(module, request.unregister ? UnregisterEntryName : RegisterEntryName);
  if (entry == nullptr) {
    if (showsBoxes) {
      ShowFormatted(services, buffer, EntryNotFoundText,
                    static_cast<int32_t>(services.LastErrorCode()), MessageStyleError);
    }
    return StatusEntryNotFound;
  }

  const int32_t result = entry();
  if (result < 0) {
    if (showsBoxes) {
      ShowFormatted(services, buffer,
                    request.unregister ? UnregisterFailedText : RegisterFailedText, result,
                    MessageStyleError);
    }
    return StatusEntryFailed;
  }

  if (showsBoxes) {
    Show(services, request.unregister ? UnregisterSucceededText : RegisterSucceededText,
         MessageStyleInformation);
  }
  return StatusSucceeded;
}

int32_t RunProgram(const PlatformServices& services, void* instance, void* previousInstance,
                   const char16_t* commandLine, int showState) {
  const int32_t status =
      RunRegistration(services, instance, previousInstance, commandLine, showState);
  if (services.EndProcess != nullptr) {
    services.EndProcess(status);
  }
  return status;
}
