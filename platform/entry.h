// The program entry of the Windows programs, on both builds: WinMain on Windows (a GUI-subsystem
// program, so a COM activation opens no console), main() elsewhere. The program defines movraMain.
#pragma once

#include "platform/win.h"

// commandLine: the text after the program name, as the C runtime passes it to WinMain.
int movraMain(HINSTANCE instance, const char* commandLine);
