// Stand-in update tool for tests, built as steamcmd.exe. It takes the tool
// check ("+quit" on its command line) or reads an update script on standard
// input, records what it was given, prints output steered by a control file
// (CR LF line ends, as the real tool writes to a pipe) and ends as told.
// Its files lie in the directory that holds the executable.
//
// "steamcmd_control.txt", written by the test, read once at start, key=value
// lines (a missing file or key takes the default):
//   check=<mode>       the tool check: uptodate (default), selfupdate (a line
//                      with "Downloading update" in the first check only),
//                      hang, crash
//   runs=<mode>[,...]  the nth update run takes the nth mode, the last one
//                      repeats: success (default), fail, hang, crash, gated
//   checkoutput=<t>    replaces the tool check's printed text
//   runoutput=<t>      replaces an update run's printed text
//   srcds=<path>       copied as srcds.exe into the install directory when that
//                      lacks one; without it an empty srcds.exe is created
//   gate=<name>        the named event a gated run waits for
// Texts take the escapes \r, \n and \\.
//
// Modes: uptodate and fail print and exit 0; success also installs srcds.exe
// and prints "Success! App '232330' fully installed."; hang prints, then never
// ends; crash prints, then ends with 0xC0000005; gated prints nothing until
// the gate event is set, then prints the success text and exits at once.
//
// The script is read from standard input line by line until "quit" or the
// end of input; whatever is already waiting behind "quit" is read as well. A
// "login" before any "force_install_dir" prints "Please use force_install_dir
// before logon!" and the run then works on "<own directory>default_install"
// whatever directory the script names later. The tool check reads only what
// is already waiting on its standard input.
//
// "steamcmd_counts.txt": checks=<n> runs=<n>, the invocations so far.
// "steamcmd_record.txt": one block per invocation, appended before the mode's
// ending (so a hanging run has one too), key=value lines, then "end":
//   kind=check|run  number=<n of that kind>  mode=<mode taken>
//   commandline=<as given; with none, the system puts the application name>
//   cwd=<current directory>  stdin=<bytes read, escaped as in the control
//   file, with \0 for a zero byte>  installdir=<directory worked on>
//   warned=0|1  overlap=0|1 (another instance held "steamcmd.lock")
//   installed=0|1 (srcds.exe was put into the install directory)
#include "support/windows_api.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/text_helpers.h"

namespace {

constexpr uint32_t ValueSize = 1024;
constexpr uint32_t ScriptSize = 4096;
constexpr uint32_t RecordSize = 16384;
constexpr DWORD CrashCode = 0xC0000005;

struct Control {
    char check[32] = "uptodate";
    char runs[256] = "success";
    char checkOutput[ValueSize] = "";
    bool hasCheckOutput = false;
    char runOutput[ValueSize] = "";
    bool hasRunOutput = false;
    char srcds[MAX_PATH] = "";
    char gate[128] = "";
};

char ownDir[MAX_PATH];

void OwnFile(char* path, size_t size, const char* name) {
    snprintf(path, size, "%s%s", ownDir, name);
}

// Turns \r, \n and \\ into their characters, in place.
void Unescape(char* text) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (*in == '\\' && in[1] != '\0') {
            ++in;
            *out++ = *in == 'r' ? '\r' : *in == 'n' ? '\n' : *in;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

void Escape(char* out, size_t size, const char* bytes, size_t length) {
    size_t used = 0;
    for (size_t i = 0; i < length && used + 3 < size; ++i) {
        char c = bytes[i];
        const char* escaped = c == '\r'   ? "\\r"
                              : c == '\n' ? "\\n"
                              : c == '\\' ? "\\\\"
                              : c == '\0' ? "\\0"
                                          : nullptr;
        if (escaped != nullptr) {
            out[used++] = escaped[0];
            out[used++] = escaped[1];
        } else {
            out[used++] = c;
        }
    }
    out[used] = '\0';
}

void ReadControl(Control& control) {
    char path[MAX_PATH];
    OwnFile(path, sizeof path, "steamcmd_control.txt");
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return;
    }
    char line[ValueSize + 64];
    while (fgets(line, sizeof line, file) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        char* equals = strchr(line, '=');
        if (equals == nullptr) {
            continue;
        }
        *equals = '\0';
        const char* value = equals + 1;
        if (strcmp(line, "check") == 0) {
            CopyBounded(control.check, sizeof control.check, value);
        } else if (strcmp(line, "runs") == 0) {
            CopyBounded(control.runs, sizeof control.runs, value);
        } else if (strcmp(line, "checkoutput") == 0) {
            CopyBounded(control.checkOutput, sizeof control.checkOutput, value);
            Unescape(control.checkOutput);
            control.hasCheckOutput = true;
        } else if (strcmp(line, "runoutput") == 0) {
            CopyBounded(control.runOutput, sizeof control.runOutput, value);
            Unescape(control.runOutput);
            control.hasRunOutput = true;
        } else if (strcmp(line, "srcds") == 0) {
            CopyBounded(control.srcds, sizeof control.srcds, value);
        } else if (strcmp(line, "gate") == 0) {
            CopyBounded(control.gate, sizeof control.gate, value);
        }
    }
    fclose(file);
}

// Counts this invocation and returns its number among those of its kind.
unsigned CountInvocation(bool check) {
    char path[MAX_PATH];
    OwnFile(path, sizeof path, "steamcmd_counts.txt");
    unsigned checks = 0;
    unsigned runs = 0;
    FILE* file = fopen(path, "rb");
    if (file != nullptr) {
        if (fscanf(file, "checks=%u runs=%u", &checks, &runs) != 2) {
            checks = runs = 0;
        }
        fclose(file);
    }
    unsigned number = check ? ++checks : ++runs;
    file = fopen(path, "wb");
    if (file != nullptr) {
        fprintf(file, "checks=%u runs=%u", checks, runs);
        fclose(file);
    }
    return number;
}

// The nth word of a comma list, the last one when the list is shorter.
void NthMode(char* mode, size_t size, const char* list, unsigned n) {
    const char* start = list;
    for (unsigned i = 1; i < n; ++i) {
        const char* comma = strchr(start, ',');
        if (comma == nullptr) {
            break;
        }
        start = comma + 1;
    }
    size_t length = strcspn(start, ",");
    CopyBounded(mode, length + 1 < size ? length + 1 : size, start);
}

void Print(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

// Reads what stdin holds right now without waiting.
size_t ReadWaiting(HANDLE input, char* buffer, size_t size) {
    size_t used = 0;
    DWORD available = 0;
    while (used + 1 < size && PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) &&
           available != 0) {
        DWORD want = static_cast<DWORD>(size - 1 - used < available ? size - 1 - used : available);
        DWORD got = 0;
        if (!ReadFile(input, buffer + used, want, &got, nullptr) || got == 0) {
            break;
        }
        used += got;
    }
    return used;
}

// Reads the script up to its "quit" line or the end of input, then whatever
// already waits behind it.
size_t ReadScript(HANDLE input, char* buffer, size_t size) {
    size_t used = 0;
    size_t lineStart = 0;
    while (used + 1 < size) {
        char c;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
            return used;
        }
        buffer[used++] = c;
        if (c == '\n') {
            if (strncmp(buffer + lineStart, "quit", 4) == 0 &&
                strspn(buffer + lineStart + 4, "\r\n") == used - lineStart - 4) {
                break;
            }
            lineStart = used;
        }
    }
    return used + ReadWaiting(input, buffer + used, size - used);
}

struct Script {
    char installDir[MAX_PATH];
    bool warned = false;
};

// Follows the script's lines as the real tool does with these three commands.
void FollowScript(const char* bytes, size_t length, Script& script) {
    snprintf(script.installDir, sizeof script.installDir, "%sdefault_install", ownDir);
    bool loggedIn = false;
    bool dirSet = false;
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && bytes[end] != '\n') {
            ++end;
        }
        char line[MAX_PATH + 32];
        size_t lineLength = end - start < sizeof line - 1 ? end - start : sizeof line - 1;
        memcpy(line, bytes + start, lineLength);
        line[lineLength] = '\0';
        line[strcspn(line, "\r")] = '\0';
        if (StartsWith(line, "login ")) {
            if (!loggedIn && !dirSet) {
                Print("Please use force_install_dir before logon!\r\n");
                script.warned = true;
            }
            loggedIn = true;
        } else if (StartsWith(line, "force_install_dir ") && !loggedIn) {
            dirSet = true;
            const char* dir = line + strlen("force_install_dir ");
            size_t dirLength = strlen(dir);
            if (dirLength >= 2 && dir[0] == '"' && dir[dirLength - 1] == '"') {
                CopyBounded(script.installDir,
                            dirLength - 1 < sizeof script.installDir ? dirLength - 1
                                                                     : sizeof script.installDir,
                            dir + 1);
            } else {
                CopyBounded(script.installDir, sizeof script.installDir, dir);
            }
        }
        start = end + 1;
    }
}

// Puts srcds.exe into the install directory when it lacks one.
bool Install(const Script& script, const Control& control) {
    CreateDirectoryA(script.installDir, nullptr);
    char target[MAX_PATH];
    snprintf(target, sizeof target, "%s\\srcds.exe", script.installDir);
    if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if (control.srcds[0] != '\0') {
        return CopyFileA(control.srcds, target, TRUE) != 0;
    }
    HANDLE file = CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

void AppendRecord(const char* record) {
    char path[MAX_PATH];
    OwnFile(path, sizeof path, "steamcmd_record.txt");
    FILE* file = fopen(path, "ab");
    if (file != nullptr) {
        fputs(record, file);
        fclose(file);
    }
}

[[noreturn]] void Hang() {
    for (;;) {
        Sleep(1000);
    }
}

} // namespace

int main() {
    char self[MAX_PATH];
    DWORD selfLength = GetModuleFileNameA(nullptr, self, sizeof self);
    if (selfLength == 0 || selfLength >= sizeof self || !GetDirPart(ownDir, sizeof ownDir, self)) {
        return 2;
    }
    // Held for the whole life of this instance; the system drops it when the
    // process ends, however it ends.
    char lockPath[MAX_PATH];
    OwnFile(lockPath, sizeof lockPath, "steamcmd.lock");
    HANDLE lock = CreateFileA(lockPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    bool overlap = lock == INVALID_HANDLE_VALUE;

    const char* commandLine = GetCommandLineA();
    bool check = commandLine != nullptr && strstr(commandLine, "+quit") != nullptr;
    Control control;
    ReadControl(control);
    unsigned number = CountInvocation(check);
    char mode[32];
    if (check) {
        CopyBounded(mode, sizeof mode, control.check);
    } else {
        NthMode(mode, sizeof mode, control.runs, number);
    }

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    static char stdinBytes[ScriptSize];
    size_t stdinLength = check ? ReadWaiting(input, stdinBytes, sizeof stdinBytes)
                               : ReadScript(input, stdinBytes, sizeof stdinBytes);
    Script script;
    FollowScript(stdinBytes, stdinLength, script);

    const char* output = "";
    bool installed = false;
    if (check) {
        bool selfUpdate = strcmp(mode, "selfupdate") == 0 && number == 1;
        output = control.hasCheckOutput ? control.checkOutput
                 : selfUpdate           ? "[  0%] Checking for available updates...\r\n"
                                          "[----] Downloading update (0 of 40,960 KB)...\r\n"
                                          "[100%] Download Complete.\r\n"
                                          "[----] Applying update...\r\n"
                                          "Update complete, launching...\r\n"
                                        : "[  0%] Checking for available updates...\r\n"
                                          "[----] Verifying installation...\r\n"
                                          "Loading API...OK\r\n";
    } else {
        bool succeeds = strcmp(mode, "success") == 0 || strcmp(mode, "gated") == 0;
        if (succeeds) {
            installed = Install(script, control);
        }
        output = control.hasRunOutput ? control.runOutput
                 : succeeds           ? "Logging in anonymously... OK\r\n"
                                        " Update state (0x61) downloading, progress: 50.00\r\n"
                                        "Success! App '232330' fully installed.\r\n"
                 : strcmp(mode, "fail") == 0
                     ? "Logging in anonymously... OK\r\n"
                       "Error! App '232330' state is 0x202 after update job.\r\n"
                     : "Logging in anonymously... OK\r\n"
                       " Update state (0x61) downloading, progress: 10.00\r\n";
    }

    bool gated = strcmp(mode, "gated") == 0;
    if (!gated) {
        Print(output);
    }
    static char record[RecordSize];
    static char escaped[ScriptSize * 2 + 1];
    Escape(escaped, sizeof escaped, stdinBytes, stdinLength);
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    const char* shownLine = commandLine == nullptr ? "(none)" : commandLine;
    snprintf(record, sizeof record,
             "kind=%s\r\nnumber=%u\r\nmode=%s\r\ncommandline=%s\r\ncwd=%s\r\nstdin=%s\r\n"
             "installdir=%s\r\nwarned=%d\r\noverlap=%d\r\ninstalled=%d\r\nend\r\n",
             check ? "check" : "run", number, mode, shownLine, cwd, escaped, script.installDir,
             script.warned ? 1 : 0, overlap ? 1 : 0, installed ? 1 : 0);
    AppendRecord(record);

    if (gated) {
        HANDLE gate = OpenEventA(SYNCHRONIZE, FALSE, control.gate);
        if (gate == nullptr) {
            return 3;
        }
        WaitForSingleObject(gate, INFINITE);
        Print(output);
        return 0;
    }
    if (strcmp(mode, "hang") == 0) {
        Hang();
    }
    if (strcmp(mode, "crash") == 0) {
        TerminateProcess(GetCurrentProcess(), CrashCode);
    }
    if (lock != INVALID_HANDLE_VALUE) {
        CloseHandle(lock);
    }
    return 0;
}
