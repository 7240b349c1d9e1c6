// The smallest program built like comenrol.exe (no C runtime, GUI subsystem):
// the baseline that the benchmark sets a registration run against.
#include <windows.h>

extern "C" void WINAPI EmptyEntry() { ExitProcess(0); }
