// Process and file-system questions, one Windows call each.
#include "support/file_helpers.h"

bool ProcessExited(HANDLE process) {
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode)) {
        return true;
    }
    return exitCode != STILL_ACTIVE;
}

bool FileExists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirExists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CloseProcessHandles(PROCESS_INFORMATION& process) {
    if (process.hThread != nullptr) {
        CloseHandle(process.hThread);
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hProcess);
    }
    process = {};
}
