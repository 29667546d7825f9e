// Holds a named mutex for a test, as another program sharing the serial ports would: takes it,
// says "HELD", lets go when a line arrives on standard input and says "RELEASED".
//
//   port_mutex_holder NAME
#include "platform/win.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: port_mutex_holder NAME\n";
        return 2;
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[1]);
    if (mutex == nullptr) {
        return 1;
    }
    DWORD result = WaitForSingleObject(mutex, INFINITE);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        return 1;
    }
    std::cout << "HELD" << std::endl;
    std::string line;
    std::getline(std::cin, line);
    ReleaseMutex(mutex);
    std::cout << "RELEASED" << std::endl;
    CloseHandle(mutex);
    return 0;
}
