#include "platform/entry.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    return movraMain(instance, commandLine != nullptr ? commandLine : "");
}
