// The CreateProcessA call that starts the update tool, with its two pipes.
#include "update/update_process.h"

#include <stdio.h>

#include "config/server_entry.h"
#include "support/file_helpers.h"
#include "support/text_helpers.h"
#include "update/tool_script.h"

constexpr DWORD PipeBufferSize = 2048;
// Room for the script with the longest Path and UpdArgs the configuration allows.
constexpr size_t UpdateScriptSize = 512;

static void CloseIfHeld(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

bool CreateUpdateProcess(const ServerEntry& entry, PROCESS_INFORMATION& process, HANDLE& outputPipe,
                         ToolRun run) {
    bool toolCheck = run == ToolCheck;
    outputPipe = nullptr;
    char toolPath[MAX_PATH];
    int pathLength = snprintf(toolPath, sizeof toolPath, "%s\\%s\\%s", entry.Path, entry.UpdPath,
                              "steamcmd.exe");
    char workingDir[MAX_PATH];
    if (pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof toolPath ||
        !GetDirPart(workingDir, sizeof workingDir, toolPath)) {
        return false;
    }
    // Path as the service reads it, against its own folder.
    char installDir[MAX_PATH];
    DWORD dirLength = GetFullPathNameA(entry.Path, sizeof installDir, installDir, nullptr);
    if (dirLength == 0 || dirLength >= sizeof installDir) {
        return false;
    }
    char script[UpdateScriptSize];
    size_t scriptLength = 0;
    if (!toolCheck) {
        scriptLength = run == UpdateRun
                           ? BuildUpdateScript(script, sizeof script, installDir, entry)
                           : BuildAppInfoScript(script, sizeof script, entry);
        if (scriptLength == 0) {
            return false;
        }
    }
    char toolCheckLine[] = "arg0 +quit";

    // Only the two ends the tool uses are inheritable; our ends stay ours, so
    // its input ends when the script does.
    HANDLE outputRead = nullptr;
    HANDLE outputWrite = nullptr;
    HANDLE inputRead = nullptr;
    HANDLE inputWrite = nullptr;
    if (!CreatePipe(&outputRead, &outputWrite, nullptr, PipeBufferSize)) {
        return false;
    }
    if (!CreatePipe(&inputRead, &inputWrite, nullptr, PipeBufferSize)) {
        CloseIfHeld(outputRead);
        CloseIfHeld(outputWrite);
        return false;
    }
    SetHandleInformation(outputWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(inputRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    startup.hStdInput = inputRead;
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
    if (!CreateProcessA(toolPath, toolCheck ? toolCheckLine : nullptr, nullptr, nullptr, TRUE,
                        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr,
                        workingDir, &startup, &process)) {
        process = {};
        CloseIfHeld(inputWrite);
        CloseIfHeld(inputRead);
        CloseIfHeld(outputRead);
        CloseIfHeld(outputWrite);
        return false;
    }
    TieToService(process.hProcess); // before it can start a program of its own
    ResumeThread(process.hThread);
    if (!toolCheck) {
        // The script is smaller than the pipe's buffer: the write never waits.
        DWORD written = 0;
        WriteFile(inputWrite, script, static_cast<DWORD>(scriptLength), &written, nullptr);
    }
    CloseIfHeld(inputWrite);
    CloseIfHeld(inputRead);
    CloseIfHeld(outputWrite);
    outputPipe = outputRead;
    return true;
}
