// Server entry: one configured game server, its configuration values as
// fixed-width text, and the identity of the monitor thread that supervises it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/key_table.h"

// Slots of the service's server table.
constexpr uint32_t MaxServers = 16;
// The configured servers, and beside them those whose threads a reload has
// asked to end and that have not ended yet: a new reload waits for them.
constexpr uint32_t FleetSlots = 2 * MaxServers;

// Field widths in bytes, terminator included: a value keeps width - 1 characters.
constexpr uint32_t FriendlyNameSize = 64;
constexpr uint32_t PathSize = 260;
constexpr uint32_t GameDirSize = 32;
constexpr uint32_t HostSize = 64;
constexpr uint32_t PortSize = 8;
constexpr uint32_t MaxPlayersSize = 8;
constexpr uint32_t MapNameSize = 64;
constexpr uint32_t MiscArgsSize = 128;
constexpr uint32_t PrioritySize = 16;
constexpr uint32_t AffinitySize = 8;
constexpr uint32_t MaxMemorySize = 8;
constexpr uint32_t MonitorDelaySize = 8;
constexpr uint32_t UpdPathSize = 260;
constexpr uint32_t UpdArgsSize = 128;
// The optional keys: a server block without them behaves as before they existed.
constexpr uint32_t RestartBackoffSize = 8;
constexpr uint32_t UpdateWaitSize = 8;
constexpr uint32_t UpdateCheckSize = 8;
constexpr uint32_t RconPasswordSize = 64;
constexpr uint32_t StopWaitSize = 8;
constexpr uint32_t AlertUrlSize = 260;
constexpr uint32_t RestartAtSize = 64;
constexpr uint32_t MemoryHighSize = 8;
constexpr uint32_t RestartWindowSize = 8;

// The configuration keys, and the unknown keys of a block that are kept.
constexpr uint32_t ServerKeyCount = 23;
constexpr uint32_t MaxUnknownKeys = 8;
constexpr uint32_t UnknownKeySize = 64;

// Where a block gave its keys in the file: lines of the keys of ServerKeys,
// by their place there (0: not given), and the keys that no server uses, the
// first MaxUnknownKeys of them.
struct KeyLines {
    uint32_t known[ServerKeyCount];
    char unknown[MaxUnknownKeys][UnknownKeySize];
    uint32_t unknownLine[MaxUnknownKeys];
    uint32_t unknownCount;
};

struct ServerRecord;

// Fields are named after their configuration keys. Numbers stay text and are
// converted where they are used. The text fields are written only while the
// entry is built; afterwards the monitor thread and the service thread read
// them without a lock.
struct ServerEntry {
    char FriendlyName[FriendlyNameSize];
    char Path[PathSize];
    char GameDir[GameDirSize];
    char Host[HostSize];
    char Port[PortSize];
    char MaxPlayers[MaxPlayersSize];
    char MapName[MapNameSize];
    char MiscArgs[MiscArgsSize];
    char Priority[PrioritySize];
    char Affinity[AffinitySize];
    char MaxMemory[MaxMemorySize];
    char MonitorDelay[MonitorDelaySize];
    char UpdPath[UpdPathSize];
    char UpdArgs[UpdArgsSize];
    char RestartBackoff[RestartBackoffSize]; // seconds: the longest pause of a failing server
    char UpdateWait[UpdateWaitSize];         // minutes an update waits for an empty server
    char UpdateCheck[UpdateCheckSize];       // minutes between asks for a newer build
    // The name line of the server's block, which a FriendlyName key does not
    // change: a reload matches servers by it. Filled by the parser.
    char BlockName[FriendlyNameSize];
    // With it a planned end asks the server to quit over its remote console;
    // never logged, never on a command line.
    char RconPassword[RconPasswordSize];
    char StopWait[StopWaitSize]; // seconds a server asked to quit has before it is terminated
    char AlertUrl[AlertUrlSize]; // http or https webhook of the server's alerts
    char RestartAt[RestartAtSize];         // local times "HH:MM[,HH:MM...]" of planned restarts
    char MemoryHigh[MemoryHighSize];       // MiB of committed memory that make a restart due
    char RestartWindow[RestartWindowSize]; // minutes a due restart waits for an empty server
    KeyLines Lines; // filled by the parser
    // Set by the service when it creates the monitor thread; zero until then.
    uint32_t ThreadId;
    void* ThreadHandle; // the thread's HANDLE, closed by the service
    // The slot's record, which the monitor thread publishes into; null: none.
    ServerRecord* Record;
};

// What a reload does to a running server whose key changed, mildest first:
// a live key is taken on by its monitor thread, a process key is also set on
// the running process, a launch key (the command line and its folder) ends
// the server and launches it anew.
enum KeyGroup : uint32_t { LiveKey, ProcessKey, LaunchKey };

// The configuration keys of a server block, in the order they are read; each
// names its text field of ServerEntry by offset and width. A required key
// missing from a block fails it; an optional one left out stays empty.
struct ServerKey {
    const char* name;
    size_t offset;
    uint32_t size;
    bool optional;
    KeyGroup group;
};
extern const ServerKey ServerKeys[ServerKeyCount];

// The place of a key in ServerKeys, or ServerKeyCount when no server uses it.
uint32_t FindServerKey(const char* name);

// Builds a new, otherwise all-zero entry from a block's keys, each value cut
// to its field's width - 1; an optional key left out stays empty. On the first
// missing key (in field order) it logs
// "Missing key \"<key>\" for server \"<name>\"" and returns null; if memory
// runs out it logs "Out of memory for server \"<name>\"" and returns null.
// The caller owns the entry and frees it with FreeServerEntry.
ServerEntry* ReadServerKeys(const KeyTable& keys);

// A copy of an entry on the heap, freed as one from ReadServerKeys; null when
// memory runs out.
ServerEntry* DuplicateServerEntry(const ServerEntry& entry);

// Frees an entry from ReadServerKeys; null is allowed.
void FreeServerEntry(ServerEntry* entry);
