// Installing and removing the service against Wine's real service control
// manager, through corvane.exe and through InstallService itself. Every test
// removes what it registered, also when it fails.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

#include "service/service_install.h"
#include "service/test_processes.h"

namespace {

const char DescriptionText[] =
    "Monitors multiple Source Dedicated Servers simultaneously, provides reliable automatic "
    "updating and restarts crashed and unresponsive servers.";

// What the service control manager holds for one service.
struct Registration {
    bool found = false;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::string binaryPath;
    std::string loadOrderGroup;
    DWORD tagId = 0;
    std::vector<std::string> dependencies;
    std::string account;
    std::string displayName;
    std::string description;
};

Registration ReadRegistration(const std::string& name) {
    Registration registration;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return registration;
    }
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        registration.found = true;
        DWORD needed = 0;
        QueryServiceConfigA(service, nullptr, 0, &needed);
        std::vector<char> buffer(needed + 1);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (QueryServiceConfigA(service, config, needed, &needed)) {
            registration.serviceType = config->dwServiceType;
            registration.startType = config->dwStartType;
            registration.errorControl = config->dwErrorControl;
            registration.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
            registration.loadOrderGroup = config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "";
            registration.tagId = config->dwTagId;
            for (const char* d = config->lpDependencies; d != nullptr && *d != '\0';
                 d += strlen(d) + 1) {
                registration.dependencies.push_back(d);
            }
            registration.account = config->lpServiceStartName ? config->lpServiceStartName : "";
            registration.displayName = config->lpDisplayName ? config->lpDisplayName : "";
        }
        needed = 0;
        QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
        std::vector<char> descriptionBuffer(needed + 1);
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(descriptionBuffer.data());
        if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION,
                                 reinterpret_cast<BYTE*>(description), needed, &needed) &&
            description->lpDescription != nullptr) {
            registration.description = description->lpDescription;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return registration;
}

// The dependency list as the service's registry record holds it.
std::vector<std::string> StoredDependencies(const std::string& name) {
    std::vector<std::string> names;
    std::string key = "System\\CurrentControlSet\\Services\\" + name;
    char list[1024] = {};
    DWORD size = sizeof list - 2;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "DependOnService", RRF_RT_REG_MULTI_SZ,
                     nullptr, list, &size) != ERROR_SUCCESS) {
        return names;
    }
    for (const char* d = list; *d != '\0'; d += strlen(d) + 1) {
        names.push_back(d);
    }
    return names;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string shown;
    for (const std::string& n : names) {
        shown += "[" + n + "]";
    }
    return shown;
}

// Deletes the service directly; true when one was there.
bool RemoveService(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    bool removed = false;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        removed = DeleteService(service) != 0;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return removed;
}

std::string TempDirectory() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    return temp;
}

class ServiceInstall : public ::testing::Test {
  protected:
    void SetUp() override { RemoveService("Corvane"); }
    void TearDown() override {
        RemoveService("Corvane");
        for (const std::string& name : extraServices_) {
            RemoveService(name);
        }
    }

    std::string CorvaneExe() const { return WinePath(CORVANE_EXE); }

    ProgramResult Corvane(const std::string& exe, const std::string& argument) {
        return RunProgram("\"" + exe + "\" " + argument);
    }

    std::vector<std::string> extraServices_;
};

TEST_F(ServiceInstall, InstallsRefusesTwiceUninstallsAndRefusesTwice) {
    ProgramResult installed = Corvane(CorvaneExe(), "-i");
    EXPECT_EQ(TextMode("Service \"Corvane\" successfully installed\n"), installed.output);
    EXPECT_EQ(0u, installed.exitCode);

    Registration registration = ReadRegistration("Corvane");
    ASSERT_TRUE(registration.found);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), registration.serviceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), registration.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), registration.errorControl);
    EXPECT_EQ("\"" + CorvaneExe() + "\" -s", registration.binaryPath);
    EXPECT_EQ("", registration.loadOrderGroup);
    EXPECT_EQ(0u, registration.tagId);
    EXPECT_EQ("LocalSystem", registration.account);
    EXPECT_EQ("Corvane", registration.displayName);
    EXPECT_EQ(DescriptionText, registration.description);
    EXPECT_EQ(142u, registration.description.size());
    // Windows reports both dependencies; Wine's QueryServiceConfigA reports
    // none, and its registry record keeps only the first name of the list.
    if (!registration.dependencies.empty()) {
        EXPECT_EQ((std::vector<std::string>{"Tcpip", "AFD"}), registration.dependencies);
    }
    std::vector<std::string> stored = StoredDependencies("Corvane");
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ("Tcpip", stored[0]);
    if (stored.size() > 1) {
        EXPECT_EQ((std::vector<std::string>{"Tcpip", "AFD"}), stored);
    }
    RecordProperty("reported_dependencies", Joined(registration.dependencies));
    RecordProperty("stored_dependencies", Joined(stored));

    ProgramResult again = Corvane(CorvaneExe(), "-i");
    EXPECT_EQ(TextMode("Failed to install service \"Corvane\" with error 1073\n"), again.output);
    EXPECT_EQ(0u, again.exitCode);
    Registration unchanged = ReadRegistration("Corvane");
    EXPECT_EQ(registration.binaryPath, unchanged.binaryPath);
    EXPECT_EQ(registration.description, unchanged.description);

    ProgramResult removed = Corvane(CorvaneExe(), "-u");
    EXPECT_EQ(TextMode("Service \"Corvane\" successfully uninstalled\n"), removed.output);
    EXPECT_EQ(0u, removed.exitCode);
    EXPECT_FALSE(ReadRegistration("Corvane").found);

    ProgramResult removedAgain = Corvane(CorvaneExe(), "-u");
    EXPECT_EQ(TextMode("OpenService failed with error 1060\n"), removedAgain.output);
    EXPECT_EQ(0u, removedAgain.exitCode);
}

TEST_F(ServiceInstall, PathWithBlanksStaysOneWordAndLetterCaseIsIgnored) {
    char unique[64];
    snprintf(unique, sizeof unique, "corvane install dir %lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    std::string directory = TempDirectory() + unique;
    std::string exe = directory + "\\corvane.exe";
    CreateDirectoryA(directory.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(CorvaneExe().c_str(), exe.c_str(), FALSE));

    ProgramResult installed = Corvane(exe, "-I");
    EXPECT_EQ(TextMode("Service \"Corvane\" successfully installed\n"), installed.output);
    EXPECT_EQ(0u, installed.exitCode);
    EXPECT_EQ("\"" + exe + "\" -s", ReadRegistration("Corvane").binaryPath);

    ProgramResult removed = Corvane(exe, "-U");
    EXPECT_EQ(TextMode("Service \"Corvane\" successfully uninstalled\n"), removed.output);
    EXPECT_EQ(0u, removed.exitCode);
    EXPECT_FALSE(ReadRegistration("Corvane").found);

    DeleteFileA(exe.c_str());
    RemoveDirectoryA(directory.c_str());
}

TEST_F(ServiceInstall, DescriptionIsCutTo511Characters) {
    char name[64];
    snprintf(name, sizeof name, "CorvaneTestDescription%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    extraServices_.push_back(name);
    std::string capturePath = TempDirectory() + name + ".txt";
    const size_t lengths[] = {510, 511, 512, 600};
    for (size_t length : lengths) {
        std::string description;
        for (size_t i = 0; i < length; ++i) {
            description += static_cast<char>('a' + i % 26);
        }
        StdoutCapture capture(capturePath);
        bool installed = InstallService(name, name, description.c_str(), "\"C:\\corvane.exe\" -s",
                                        "Tcpip\0AFD\0");
        std::string description511 = ReadRegistration(name).description;
        bool uninstalled = UninstallService(name);
        std::string output = capture.Finish();

        EXPECT_TRUE(installed) << length;
        EXPECT_EQ(description.substr(0, 511), description511) << length;
        EXPECT_TRUE(uninstalled) << length;
        EXPECT_EQ(TextMode("Service \"" + std::string(name) + "\" successfully installed\n" +
                           "Service \"" + name + "\" successfully uninstalled\n"),
                  output)
            << length;
    }
}

TEST_F(ServiceInstall, FailuresReturnFalse) {
    char name[64];
    snprintf(name, sizeof name, "CorvaneTestFailures%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    extraServices_.push_back(name);
    std::string capturePath = TempDirectory() + name + ".txt";

    StdoutCapture capture(capturePath);
    bool first = InstallService(name, name, "first", "\"C:\\first.exe\" -s", "Tcpip\0");
    bool second = InstallService(name, name, "second", "\"C:\\second.exe\" -s", "Tcpip\0");
    Registration kept = ReadRegistration(name);
    bool removed = UninstallService(name);
    bool removedAgain = UninstallService(name);
    std::string output = capture.Finish();

    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ("\"C:\\first.exe\" -s", kept.binaryPath);
    EXPECT_EQ("first", kept.description);
    EXPECT_TRUE(removed);
    EXPECT_FALSE(removedAgain);
    std::string n = name;
    EXPECT_EQ(TextMode("Service \"" + n + "\" successfully installed\n" +
                       "Failed to install service \"" + n + "\" with error 1073\n" + "Service \"" +
                       n + "\" successfully uninstalled\n" +
                       "OpenService failed with error 1060\n"),
              output);
}

} // namespace
