// The update tool's scripts.
#include "update/tool_script.h"

#include <stdio.h>
#include <string.h>

#include "config/server_entry.h"

size_t BuildUpdateScript(char* buffer, size_t size, const char* installDir,
                         const ServerEntry& entry) {
    int length =
        snprintf(buffer, size, "force_install_dir \"%s\"\nlogin anonymous\napp_update %s\nquit\n",
                 installDir, entry.UpdArgs);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        return 0;
    }
    return static_cast<size_t>(length);
}

void AppIdOf(const ServerEntry& entry, char* appId, size_t size) {
    snprintf(appId, size, "%.*s", static_cast<int>(strcspn(entry.UpdArgs, " \t")), entry.UpdArgs);
}

size_t BuildAppInfoScript(char* buffer, size_t size, const ServerEntry& entry) {
    char appId[sizeof entry.UpdArgs];
    AppIdOf(entry, appId, sizeof appId);
    int length = snprintf(buffer, size,
                          "login anonymous\napp_info_update 1\napp_info_print %s\nquit\n", appId);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        return 0;
    }
    return static_cast<size_t>(length);
}
