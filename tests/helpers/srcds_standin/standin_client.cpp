// Starting, steering and reading the stand-in game server from a test.
#include "helpers/srcds_standin/standin_client.h"

#include <stdio.h>
#include <string.h>

#include "support/text_helpers.h"

void FreeUdpPort(char* port, uint32_t size) {
    CopyBounded(port, size, "0");
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) {
        return;
    }
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        snprintf(port, size, "%u", static_cast<unsigned>(ntohs(address.sin_port)));
    }
    closesocket(probe);
}

bool MakeServerDirectory(char* directory, uint32_t size) {
    static LONG counter = 0;
    char temp[MAX_PATH];
    if (GetTempPathA(sizeof temp, temp) == 0) {
        return false;
    }
    int length = snprintf(directory, size, "%scorvane_standin_%lu_%ld", temp,
                          static_cast<unsigned long>(GetCurrentProcessId()),
                          static_cast<long>(InterlockedIncrement(&counter)));
    return length > 0 && static_cast<uint32_t>(length) < size &&
           CreateDirectoryA(directory, nullptr) != 0;
}

void RemoveServerDirectory(const char* directory) {
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", directory);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                char path[MAX_PATH];
                snprintf(path, sizeof path, "%s\\%s", directory, found.cFileName);
                DeleteFileA(path);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(directory);
}

bool WriteServerFile(const char* directory, const char* name, const char* text) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", directory, name);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    DWORD length = static_cast<DWORD>(strlen(text));
    bool ok = WriteFile(file, text, length, &written, nullptr) && written == length;
    CloseHandle(file);
    return ok;
}

bool ReadStandinValue(const char* directory, const char* name, const char* key, char* value,
                      uint32_t size) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", directory, name);
    // Shared for deletion too, so that the stand-in can rename its new text
    // over the file while it is read here.
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char text[8192];
    DWORD read = 0;
    BOOL ok = ReadFile(file, text, sizeof text - 1, &read, nullptr);
    CloseHandle(file);
    text[ok ? read : 0] = '\0';
    size_t keyLength = strlen(key);
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == '=') {
            CopyBounded(value, size, line + keyLength + 1);
            return true;
        }
    }
    return false;
}

bool WaitStandinValue(const char* directory, const char* name, const char* key, const char* value,
                      DWORD timeoutMs) {
    DWORD startMs = GetTickCount();
    for (;;) {
        char current[1024];
        if (ReadStandinValue(directory, name, key, current, sizeof current) &&
            strcmp(current, value) == 0) {
            return true;
        }
        if (GetTickCount() - startMs >= timeoutMs) {
            return false;
        }
        Sleep(10);
    }
}

bool StartStandin(const char* directory, const char* port, PROCESS_INFORMATION* process) {
    char commandLine[1024];
    snprintf(commandLine, sizeof commandLine,
             "\"%s\" -console -game cstrike -ip 127.0.0.1 -port %s -maxplayers 24 +map de_dust2 ",
             CORVANE_STANDIN_EXE, port);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    memset(process, 0, sizeof *process);
    if (!CreateProcessA(CORVANE_STANDIN_EXE, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                        directory, &startup, process)) {
        return false;
    }
    DWORD startMs = GetTickCount();
    char pid[32];
    while (!ReadStandinValue(directory, "standin_record.txt", "pid", pid, sizeof pid)) {
        if (WaitForSingleObject(process->hProcess, 10) != WAIT_TIMEOUT ||
            GetTickCount() - startMs >= 10000) {
            EndStandin(process);
            return false;
        }
    }
    return true;
}

void EndStandin(PROCESS_INFORMATION* process) {
    if (process->hProcess != nullptr) {
        TerminateProcess(process->hProcess, 0);
        WaitForSingleObject(process->hProcess, 10000);
        CloseHandle(process->hProcess);
        process->hProcess = nullptr;
    }
    if (process->hThread != nullptr) {
        CloseHandle(process->hThread);
        process->hThread = nullptr;
    }
}
