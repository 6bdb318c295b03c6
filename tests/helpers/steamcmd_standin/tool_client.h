// Test-side handling of the stand-in update tool (steamcmd.exe): putting it
// into a directory, steering it and reading what it recorded (the files are
// described at the top of steamcmd_standin.cpp).
#pragma once

#include "support/windows_api.h"

#include <string>
#include <vector>

// One invocation as the stand-in recorded it; stdinBytes is unescaped.
struct ToolRecord {
    std::string kind;
    unsigned number = 0;
    std::string mode;
    std::string commandLine;
    std::string cwd;
    std::string stdinBytes;
    std::string installDir;
    bool warned = false;
    bool overlap = false;
    bool installed = false;
};

// A new empty directory under the temp directory, unique to this process.
std::string MakeTempDirectory(const char* label);

// Deletes a directory with everything below it.
void RemoveTree(const std::string& directory);

// Creates directory (one level) and copies the stand-in into it as steamcmd.exe.
bool InstallStandinTool(const std::string& directory);

// Replaces the stand-in's control file in directory with text.
bool WriteToolControl(const std::string& directory, const std::string& text);

// Every invocation recorded in directory so far, oldest first.
std::vector<ToolRecord> ReadToolRecords(const std::string& directory);

// Re-reads the records every 10 ms until there are at least count; false
// after timeoutMs.
bool WaitToolRecords(const std::string& directory, size_t count, DWORD timeoutMs);

// Reads a whole file as bytes; empty when it cannot be opened.
std::string ReadFileBytes(const std::string& path);
