// The server's command line and the paths derived from its program file.
#pragma once

#include <string>

namespace movra {

enum class ServerSwitch { None, Register, UnRegister };

// The first '-' decides, else the first '/'; the whole rest must be one of the four words, in
// any case. Anything else, such as the "-Embedding" of a COM activation, is no switch.
ServerSwitch parseServerSwitch(const char* commandLine);

// Whether COM started the program for a client ("-Embedding" or "/Embedding", in any case).
bool startedByCom(const char* commandLine);

// The program path with its last three characters replaced by "ini": MovraOPCServer.exe reads
// MovraOPCServer.ini beside it.
std::string configurationPathOf(const std::string& modulePath);

}  // namespace movra
