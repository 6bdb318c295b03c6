// Any bytes as corvane.cfg: the parser must read them without a crash, leak
// or over-read, log one error exactly when it fails (a missing key's line
// comes with its parser line), and keep only terminated fields.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config/config_parser.h"
#include "fakes/fakes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen("config_parser_fuzz.cfg", "w+b");
    fwrite(data, 1, size, file);
    rewind(file);
    ServerEntry* table[MaxServers] = {};
    loggedLines.clear();
    bool loaded = LoadConfigFrom(file, table, MaxServers);
    fclose(file);
    size_t allowed = loggedLines.size() == 2 && loggedLines[0].compare(0, 12, "Missing key ") == 0 ? 2 : 1;
    if (loaded != loggedLines.empty() || loggedLines.size() > allowed) {
        abort();
    }
    for (ServerEntry* entry : table) {
        if (entry != nullptr && (memchr(entry->FriendlyName, 0, sizeof entry->FriendlyName) == nullptr ||
                                 memchr(entry->UpdArgs, 0, sizeof entry->UpdArgs) == nullptr)) {
            abort();
        }
        FreeServerEntry(entry);
    }
    return 0;
}
