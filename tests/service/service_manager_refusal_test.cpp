// The installer when the service control manager will not open. Wine grants
// every caller every right and restarts its service manager when it ends, so
// the refusal is stepped with the stand-in door from tests/fakes.
#include "support/windows_api.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>

#include "fakes/service_manager_fake.h"
#include "service/service_install.h"
#include "service/test_processes.h"

namespace {

std::string CapturePath() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    char name[64];
    snprintf(name, sizeof name, "corvane_refusal_%lu.txt",
             static_cast<unsigned long>(GetCurrentProcessId()));
    return std::string(temp) + name;
}

TEST(ServiceManagerRefusal, BothOperationsPrintTheErrorAsSignedDecimal) {
    const struct {
        DWORD error;
        const char* line;
    } cases[] = {
        {ERROR_ACCESS_DENIED, "OpenSCManager failed with error 5\n"},
        {0x80070005, "OpenSCManager failed with error -2147024891\n"},
    };
    for (const auto& c : cases) {
        serviceManagerFake = ServiceManagerFake();
        serviceManagerFake.error = c.error;
        StdoutCapture capture(CapturePath());
        bool installed = InstallService("Corvane", "Corvane", "description",
                                        "\"C:\\corvane.exe\" -s", "Tcpip\0AFD\0");
        bool uninstalled = UninstallService("Corvane");
        std::string output = capture.Finish();

        EXPECT_FALSE(installed);
        EXPECT_FALSE(uninstalled);
        EXPECT_EQ(TextMode(std::string(c.line) + c.line), output);
        // Installing asks for the right to create services, removing only to connect.
        EXPECT_EQ((std::vector<DWORD>{SC_MANAGER_CREATE_SERVICE, SC_MANAGER_CONNECT}),
                  serviceManagerFake.accessAsked);
    }
}

} // namespace
