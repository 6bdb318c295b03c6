// The entry point through the real corvane.exe: what each role prints and the
// exit status. The key wait itself needs a terminal and is proven by
// banner_key_wait_test.py; here standard input is a pipe, so _getch returns at once.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>

#include "service/test_processes.h"

namespace {

const char Banner[] = "Corvane v1.10\n\n"
                      "Made by the Corvane project.\n"
                      "Report problems on the Corvane project's issue tracker.\n\n"
                      "Supported arguments:\n\n"
                      "  -i  Install service\n"
                      "  -u  Uninstall service\n\n"
                      "Place this executable in the desired location the service\n"
                      "should run from and then install it using the argument -i.\n\n"
                      "Once the service is installed, restart the system or open the\n"
                      "Services management console in order to start the service.\n\n";

std::string BannerAndPrompt() { return TextMode(Banner) + "Press any key to continue..."; }

std::string CorvaneExe() { return WinePath(CORVANE_EXE); }

TEST(EntryPoint, AnythingButOneKnownOptionShowsTheBanner) {
    const char* const argumentLists[] = {
        "", "-i x", "-in", "--i", "i", "-", "\"- \"", "-x", "/i", "-u -u",
    };
    for (const char* arguments : argumentLists) {
        ProgramResult result = RunProgram("\"" + CorvaneExe() + "\" " + arguments);
        EXPECT_EQ(BannerAndPrompt(), result.output) << "arguments: " << arguments;
        EXPECT_EQ(0u, result.exitCode) << "arguments: " << arguments;
    }
}

TEST(EntryPoint, ServiceRoleOutsideTheServiceManagerEndsQuietly) {
    for (const char* argument : {"-s", "-S"}) {
        ProgramResult result = RunProgram("\"" + CorvaneExe() + "\" " + argument);
        EXPECT_EQ("", result.output) << argument;
        EXPECT_EQ(0u, result.exitCode) << argument;
    }
}

// Runs a copy of corvane.exe under its own name, for which Wine reports the
// given Windows version (HKCU\Software\Wine\AppDefaults\<name>\Version).
class ReportedVersion {
  public:
    explicit ReportedVersion(const char* version) {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        char name[64];
        snprintf(name, sizeof name, "corvane_%s_%lu.exe", version,
                 static_cast<unsigned long>(GetCurrentProcessId()));
        exe_ = std::string(temp) + name;
        key_ = std::string("Software\\Wine\\AppDefaults\\") + name;
        copied_ = CopyFileA(CorvaneExe().c_str(), exe_.c_str(), FALSE) != 0;
        HKEY appKey = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &appKey, nullptr) == ERROR_SUCCESS) {
            set_ =
                RegSetValueExA(appKey, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                               static_cast<DWORD>(strlen(version) + 1)) == ERROR_SUCCESS;
            RegCloseKey(appKey);
        }
    }
    ReportedVersion(const ReportedVersion&) = delete;
    ReportedVersion& operator=(const ReportedVersion&) = delete;
    ~ReportedVersion() {
        RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str());
        DeleteFileA(exe_.c_str());
    }

    bool Ready() const { return copied_ && set_; }
    ProgramResult Run(const char* arguments) { return RunProgram("\"" + exe_ + "\" " + arguments); }

  private:
    std::string exe_;
    std::string key_;
    bool copied_ = false;
    bool set_ = false;
};

TEST(EntryPoint, SystemsBeforeWindows2000AreRefusedBeforeAnythingElse) {
    const struct {
        const char* version;
        bool refused;
    } cases[] = {
        {"win95", true}, {"win98", true}, {"nt40", true}, {"win2k", false}, {"winxp", false},
    };
    for (const auto& c : cases) {
        ReportedVersion copy(c.version);
        ASSERT_TRUE(copy.Ready()) << c.version;
        if (c.refused) {
            for (const char* arguments : {"", "-u", "-s"}) {
                ProgramResult result = copy.Run(arguments);
                EXPECT_EQ(TextMode("Requires Win2000/XP or greater\n"), result.output)
                    << c.version << " " << arguments;
                EXPECT_EQ(1u, result.exitCode) << c.version << " " << arguments;
            }
        } else {
            ProgramResult result = copy.Run("");
            EXPECT_EQ(BannerAndPrompt(), result.output) << c.version;
            EXPECT_EQ(0u, result.exitCode) << c.version;
        }
    }
}

} // namespace
