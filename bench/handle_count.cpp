// Prints "<pid> <handles>" for each running process of the image name given
// (corvane.exe for bench/soak.py). The handles are counted in the system's
// handle table: under Wine GetProcessHandleCount reads 0.
#include "support/windows_api.h"

#include <algorithm>
#include <stdio.h>
#include <tlhelp32.h>
#include <vector>

namespace {

// One row of the extended handle table (information class 64).
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId, handle;
    ULONG access;
    USHORT backTrace, type;
    ULONG attributes, reserved;
};

constexpr ULONG ExtendedHandleTable = 64;
constexpr LONG TooSmall = static_cast<LONG>(0xC0000004);

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: handle_count IMAGE.exe\n", stderr);
        return 2;
    }
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    // The count, a reserved word, then the rows.
    std::vector<ULONG_PTR> table(1 << 18);
    while (query(ExtendedHandleTable, table.data(),
                 static_cast<ULONG>(table.size() * sizeof table[0]), nullptr) == TooSmall) {
        table.resize(table.size() * 2);
    }
    const HandleEntry* entries = reinterpret_cast<const HandleEntry*>(&table[2]);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot, &process); more;
         more = Process32Next(snapshot, &process)) {
        if (_stricmp(process.szExeFile, argv[1]) == 0) {
            DWORD pid = process.th32ProcessID;
            long handles = std::count_if(entries, entries + table[0], [pid](const HandleEntry& e) {
                return e.processId == pid;
            });
            printf("%lu %ld\n", pid, handles);
        }
    }
    CloseHandle(snapshot);
    return 0;
}
