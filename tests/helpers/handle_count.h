// Counting a process's open handles in the system's handle table
// (NtQuerySystemInformation, class 64): GetProcessHandleCount reads 0 under Wine.
#pragma once

#include "support/windows_api.h"

#include <stddef.h>
#include <vector>

// Handles held by the process pid; 0 when the table cannot be read.
inline size_t CountProcessHandles(DWORD pid) {
    struct Entry {
        PVOID object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG access;
        USHORT backTrace;
        USHORT type;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    const ULONG ExtendedHandleInformation = 64;
    const LONG InfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 20);
    LONG status;
    while ((status = query(ExtendedHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), nullptr)) == InfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0) {
        return 0;
    }
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    size_t held = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        if (table->entries[i].processId == pid) {
            ++held;
        }
    }
    return held;
}

// Handles held by this process.
inline size_t CountOwnHandles() { return CountProcessHandles(GetCurrentProcessId()); }
