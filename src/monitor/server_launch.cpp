// The CreateProcessA call that starts a game server, and little else.
#include "monitor/server_launch.h"

#include "config/server_entry.h"
#include "monitor/launch_args.h"
#include "support/file_helpers.h"

bool CreateServerProcess(const ServerEntry& entry, PROCESS_INFORMATION& process) {
    char applicationPath[ApplicationPathSize];
    char commandLine[ServerCommandLineSize];
    if (!BuildApplicationPath(applicationPath, sizeof applicationPath, entry) ||
        !BuildServerCommandLine(commandLine, sizeof commandLine, entry)) {
        return false;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;

    DWORD priorityClass = ChoosePriorityClass(entry.Priority);
    if (!CreateProcessA(applicationPath, commandLine, nullptr, nullptr, FALSE,
                        priorityClass | CREATE_SUSPENDED, nullptr, entry.Path, &startup,
                        &process)) {
        return false;
    }
    TieToService(process.hProcess);
    // Some hosts ignore the class given at creation; set it again while the
    // server is still suspended (a no-op where it was already applied).
    SetProcessSettings(entry, process.hProcess);
    ResumeThread(process.hThread);
    return true;
}

void SetProcessSettings(const ServerEntry& entry, HANDLE process) {
    SetPriorityClass(process, ChoosePriorityClass(entry.Priority));
    // Once the process exists the launch counts: Windows refuses an empty mask,
    // and the server then keeps the affinity it was created with.
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    GetProcessAffinityMask(process, &processMask, &systemMask);
    SetProcessAffinityMask(process,
                           static_cast<DWORD_PTR>(ChooseAffinityMask(entry.Affinity, systemMask)));
}
