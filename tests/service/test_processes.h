// Test plumbing for real processes under Wine: build paths as Wine sees them,
// start a child with pipes and end it for sure, and capture this process's own
// standard output.
#pragma once

#include "support/windows_api.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>

// A Unix path of the build tree as Wine names it: drive Z: and backslashes.
inline std::string WinePath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    fclose(file);
    return bytes;
}

// A child process with its standard input and output (stderr joined to it) on
// pipes. The destructor terminates it if it still runs, so a failing test
// leaves nothing behind.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (info_.hProcess != nullptr) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info_.hProcess, 1);
                WaitForSingleObject(info_.hProcess, 10000);
            }
            CloseHandle(info_.hProcess);
        }
        CloseStdin();
        if (stdoutRead_ != nullptr) {
            CloseHandle(stdoutRead_);
        }
    }

    // False when the pipes or the process could not be created.
    bool Start(const std::string& commandLine) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE stdinRead = nullptr;
        HANDLE stdoutWrite = nullptr;
        if (!CreatePipe(&stdinRead, &stdinWrite_, &inheritable, 0)) {
            return false;
        }
        if (!CreatePipe(&stdoutRead_, &stdoutWrite, &inheritable, 0)) {
            CloseHandle(stdinRead);
            return false;
        }
        SetHandleInformation(stdinWrite_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(stdoutRead_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = stdinRead;
        startup.hStdOutput = stdoutWrite;
        startup.hStdError = stdoutWrite;
        std::string mutableLine = commandLine;
        PROCESS_INFORMATION info = {};
        bool started = CreateProcessA(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &info) != 0;
        CloseHandle(stdinRead);
        CloseHandle(stdoutWrite);
        if (!started) {
            return false;
        }
        CloseHandle(info.hThread);
        info_.hProcess = info.hProcess;
        info_.dwProcessId = info.dwProcessId;
        return true;
    }

    HANDLE Handle() const { return info_.hProcess; }

    // Reads up to and including the next '\n', or to the end of the output.
    std::string ReadLine() {
        std::string line;
        char byte;
        DWORD got = 0;
        while (ReadFile(stdoutRead_, &byte, 1, &got, nullptr) && got == 1) {
            line += byte;
            if (byte == '\n') {
                break;
            }
        }
        return line;
    }

    // Reads until every writer of the output pipe has closed it.
    std::string ReadAll() {
        std::string all;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(stdoutRead_, chunk, sizeof chunk, &got, nullptr) && got != 0) {
            all.append(chunk, got);
        }
        return all;
    }

    void CloseStdin() {
        if (stdinWrite_ != nullptr) {
            CloseHandle(stdinWrite_);
            stdinWrite_ = nullptr;
        }
    }

    // Waits up to waitMs for the end; on time-out terminates the child and
    // returns the sentinel NotEnded.
    static constexpr DWORD NotEnded = 0xDEADBEEF;
    DWORD WaitForExit(DWORD waitMs = 120000) {
        if (WaitForSingleObject(info_.hProcess, waitMs) != WAIT_OBJECT_0) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 10000);
            return NotEnded;
        }
        DWORD exitCode = 0;
        GetExitCodeProcess(info_.hProcess, &exitCode);
        return exitCode;
    }

  private:
    PROCESS_INFORMATION info_ = {};
    HANDLE stdinWrite_ = nullptr;
    HANDLE stdoutRead_ = nullptr;
};

// What a program printed and how it ended.
struct ProgramResult {
    std::string output;
    DWORD exitCode = ChildProcess::NotEnded;
};

// Runs a program to its end with an empty standard input.
inline ProgramResult RunProgram(const std::string& commandLine) {
    ProgramResult result;
    ChildProcess child;
    if (!child.Start(commandLine)) {
        result.output = "<could not start " + commandLine + ">";
        return result;
    }
    child.CloseStdin();
    result.output = child.ReadAll();
    result.exitCode = child.WaitForExit();
    return result;
}

// Sends this process's standard output (file descriptor 1, so printf and the
// stdout stream alike) to a file until Finish, which returns what was written.
// The descriptor keeps text mode, so a "\n" arrives as CR LF, as on a console.
class StdoutCapture {
  public:
    explicit StdoutCapture(const std::string& path) : path_(path) {
        fflush(stdout);
        saved_ = _dup(1);
        int file =
            _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
        _dup2(file, 1);
        _close(file);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    ~StdoutCapture() { Restore(); }

    std::string Finish() {
        Restore();
        std::string text = ReadWholeFile(path_);
        remove(path_.c_str());
        return text;
    }

  private:
    void Restore() {
        if (saved_ >= 0) {
            fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
        }
    }

    std::string path_;
    int saved_ = -1;
};

// "\n" as the C runtime writes it to a text-mode stream.
inline std::string TextMode(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}
