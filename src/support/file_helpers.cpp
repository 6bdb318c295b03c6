// Process and file-system questions, one Windows call each.
#include "support/file_helpers.h"

#include "support/event_log.h"

HANDLE ProcessJob = nullptr;
static LONG jobRefusalLogged = 0;

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

HANDLE CreateProcessJob() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

void TieToService(HANDLE process) {
    if (!AssignProcessToJobObject(ProcessJob, process) &&
        InterlockedExchange(&jobRefusalLogged, 1) == 0) {
        WriteLog("Servers and tools cannot be put in the service's job (error %lu): they "
                 "outlive a service that ends without its stop",
                 GetLastError());
    }
}
