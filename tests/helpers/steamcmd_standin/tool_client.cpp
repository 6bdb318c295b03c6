// Putting the stand-in update tool in place and reading its records.
#include "helpers/steamcmd_standin/tool_client.h"

#include <stdio.h>

std::string MakeTempDirectory(const char* label) {
    static LONG counter = 0;
    char temp[MAX_PATH];
    if (GetTempPathA(sizeof temp, temp) == 0) {
        return std::string();
    }
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%scorvane_%s_%lu_%ld", temp, label,
             static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<long>(InterlockedIncrement(&counter)));
    RemoveTree(path);
    return CreateDirectoryA(path, nullptr) ? std::string(path) : std::string();
}

void RemoveTree(const std::string& directory) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            std::string path = directory + "\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(path);
            } else {
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(directory.c_str());
}

bool InstallStandinTool(const std::string& directory) {
    CreateDirectoryA(directory.c_str(), nullptr);
    return CopyFileA(CORVANE_STEAMCMD_STANDIN_EXE, (directory + "\\steamcmd.exe").c_str(), FALSE) !=
           0;
}

bool WriteToolControl(const std::string& directory, const std::string& text) {
    FILE* file = fopen((directory + "\\steamcmd_control.txt").c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

std::string ReadFileBytes(const std::string& path) {
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

static std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char c = text[++i];
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == '0' ? '\0' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<ToolRecord> ReadToolRecords(const std::string& directory) {
    std::vector<ToolRecord> records;
    std::string bytes = ReadFileBytes(directory + "\\steamcmd_record.txt");
    ToolRecord record;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            break;
        }
        std::string line = bytes.substr(start, end - start);
        start = end + 2;
        if (line == "end") {
            records.push_back(record);
            record = ToolRecord();
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "kind") {
            record.kind = value;
        } else if (key == "number") {
            record.number = static_cast<unsigned>(std::stoul(value));
        } else if (key == "mode") {
            record.mode = value;
        } else if (key == "commandline") {
            record.commandLine = value;
        } else if (key == "cwd") {
            record.cwd = value;
        } else if (key == "stdin") {
            record.stdinBytes = Unescape(value);
        } else if (key == "installdir") {
            record.installDir = value;
        } else if (key == "warned") {
            record.warned = value == "1";
        } else if (key == "overlap") {
            record.overlap = value == "1";
        } else if (key == "installed") {
            record.installed = value == "1";
        }
    }
    return records;
}

bool WaitToolRecords(const std::string& directory, size_t count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (ReadToolRecords(directory).size() < count) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}
