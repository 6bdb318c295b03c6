// The update tool's scripts.
#include "update/tool_script.h"

#include <stdio.h>

#include "config/server_entry.h"

size_t BuildUpdateScript(char* buffer, size_t size, const ServerEntry& entry) {
    int length = snprintf(buffer, size,
                          "force_install_dir \"%s\"\nlogin anonymous\napp_update %s\nquit\n",
                          entry.Path, entry.UpdArgs);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        return 0;
    }
    return static_cast<size_t>(length);
}
