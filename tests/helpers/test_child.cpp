// A child process for tests that need another process to hold something or
// to end in a known way:
//   test_child exit CODE   ends at once with exit code CODE
//   test_child wait        runs until its standard input ends, then exits with 0
//   test_child hold PATH   opens PATH with no sharing (creating it when missing),
//                          prints "held\n", and keeps it open until its
//                          standard input ends or it is terminated
#include "support/windows_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void WaitForStdinEnd() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char byte;
    DWORD read = 0;
    while (ReadFile(input, &byte, 1, &read, nullptr) && read != 0) {
    }
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "exit") == 0) {
        return static_cast<int>(strtoul(argv[2], nullptr, 10));
    }
    if (argc == 2 && strcmp(argv[1], "wait") == 0) {
        WaitForStdinEnd();
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "hold") == 0) {
        HANDLE file = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            printf("cannot open %s: error %lu\n", argv[2], GetLastError());
            return 2;
        }
        printf("held\n");
        fflush(stdout);
        WaitForStdinEnd();
        CloseHandle(file);
        return 0;
    }
    fprintf(stderr, "usage: test_child exit CODE | wait | hold PATH\n");
    return 2;
}
