// Entry point: prepares what every role shares (sockets, the system check, the
// executable's own directory, the memory query), then installs, removes, runs
// the service, checks the configuration, asks the service to reload it,
// shows the fleet or shows the banner, as the argument asks.
#include "support/windows_api.h"

#include <conio.h>
#include <stdio.h>
#include <time.h>

#include "config/config_parser.h"
#include "report/fleet_table.h"
#include "service/command_line.h"
#include "service/config_check.h"
#include "service/service_install.h"
#include "service/service_main.h"
#include "support/event_log.h"
#include "support/memory_query.h"
#include "support/text_helpers.h"

// Parses the file as the service reads its configuration, each problem printed
// as the service would log it, then each value it would refuse or read
// otherwise than written; true when the service would start with it and
// refuse none of its values.
static bool CheckConfig(const char* fileName) {
    ServerEntry* servers[MaxServers] = {};
    bool valid = LoadConfig(servers, MaxServers, fileName);
    valid = valid && !WriteConfigFindings(CheckConfigValues(servers, MaxServers), true);
    uint32_t count = 0;
    for (ServerEntry*& entry : servers) {
        count += entry != nullptr ? 1 : 0;
        FreeServerEntry(entry);
        entry = nullptr;
    }
    if (valid && count == 0) {
        WriteLog("No servers defined");
        valid = false;
    }
    if (valid) {
        printf("Config file \"%s\" is valid, servers defined: %u\n", fileName,
               static_cast<unsigned>(count));
    }
    return valid;
}

// Prints the fleet's table from corvane.prom; its exit code says whether
// every server runs (0), one does not (1), or the facts are not current (2).
static int ShowFleet() {
    std::string state = ServiceStateWords(ServiceName), text;
    FILE* file = fopen("corvane.prom", "rb");
    char buffer[4096];
    for (size_t read = 1; file != nullptr && read != 0;) {
        read = fread(buffer, 1, sizeof buffer, file);
        text.append(buffer, read);
    }
    FleetPage page;
    bool readable = file != nullptr && ParseFleetPage(text, page);
    if (file != nullptr) {
        fclose(file);
    }
    // Colour only on a console; a pipe or a file gets plain text.
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO screen;
    bool colour = GetConsoleScreenBufferInfo(console, &screen) != 0;
    FleetTable table = RenderFleetTable(readable ? &page : nullptr, state,
                                        static_cast<int64_t>(time(nullptr)), colour);
    // The table's colour codes become the console's attributes, which every
    // Windows console takes and none counts as columns.
    for (size_t at = 0; at < table.text.size();) {
        size_t code = table.text.find("\x1b[", at);
        fputs(table.text.substr(at, code - at).c_str(), stdout);
        if (code == std::string::npos) {
            break;
        }
        bool red = table.text.compare(code, 5, "\x1b[31m") == 0;
        SetConsoleTextAttribute(console, red ? FOREGROUND_RED | FOREGROUND_INTENSITY
                                             : screen.wAttributes);
        at = table.text.find('m', code) + 1;
    }
    return table.exitCode;
}

int main(int argc, char** argv) {
    // Every line printed goes out at once, not at the exit: a console message is never left behind.
    setvbuf(stdout, nullptr, _IONBF, 0);
    char option = ParseOption(argc, argv);
    // The checking roles print what the service would log, and leave the log alone.
    LogToConsole = option == 't' || option == 'r';
    // A file named after -t is found from the user's directory, which is left below.
    char checkedFile[MAX_PATH] = "corvane.cfg";
    if (option == 't' && argc == 3) {
        DWORD length = GetFullPathNameA(argv[2], sizeof checkedFile, checkedFile, nullptr);
        if (length == 0 || length >= sizeof checkedFile) {
            CopyBounded(checkedFile, sizeof checkedFile, argv[2]);
        }
    }
    WSADATA socketLayer;
    if (WSAStartup(MAKEWORD(2, 0), &socketLayer) != 0) {
        return 1;
    }

    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT ||
        version.dwMajorVersion < 5) {
        printf("Requires Win2000/XP or greater\n");
        return 1;
    }

    // Every file of the service (configuration, both logs) lies beside the executable.
    char executablePath[MAX_PATH];
    DWORD pathLength = GetModuleFileNameA(nullptr, executablePath, sizeof executablePath);
    if (pathLength == 0 || pathLength >= sizeof executablePath) {
        return 1;
    }
    char executableDir[MAX_PATH];
    if (!GetDirPart(executableDir, sizeof executableDir, executablePath) ||
        !SetCurrentDirectoryA(executableDir)) {
        return 1;
    }

    HMODULE psapi = LoadLibraryA("psapi.dll");
    if (psapi != nullptr) {
        QueryProcessMemory = reinterpret_cast<GetProcessMemoryInfoFunction>(
            reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo")));
    }
    if (QueryProcessMemory == nullptr) {
        return 1;
    }

    int status = 0;
    switch (option) {
    case 'i': {
        char commandLine[MAX_PATH + 8];
        snprintf(commandLine, sizeof commandLine, "\"%s\" -s", executablePath);
        InstallService(ServiceName, ServiceDisplayName, ServiceDescription, commandLine,
                       ServiceDependencies);
        break;
    }
    case 's': {
        // Blocks while the service runs; returns at once outside the service manager.
        char serviceName[] = "Corvane";
        SERVICE_TABLE_ENTRYA dispatchTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
        StartServiceCtrlDispatcherA(dispatchTable);
        break;
    }
    case 'u':
        UninstallService(ServiceName);
        break;
    case 't':
        status = CheckConfig(checkedFile) ? 0 : 1;
        break;
    case 'r':
        status = CheckConfig(checkedFile) && ReloadService(ServiceName) ? 0 : 1;
        break;
    case 'l':
        status = ShowFleet();
        break;
    default:
        fputs(BannerText, stdout);
        fputs("Press any key to continue...", stdout);
        fflush(stdout);
        fflush(stdin);
        _getch();
        _putch('\n');
        break;
    }

    FreeLibrary(psapi);
    WSACleanup();
    return status;
}
