// The metrics file: a snapshot of the records, rendered, written under
// another name in the same folder and moved over the old file.
#include "report/metrics_file.h"

#include <time.h>

#include <algorithm>

#include "config/server_entry.h"
#include "report/metrics_text.h"
#include "report/server_record.h"
#include "support/event_log.h"

constexpr char MetricsName[] = "corvane.prom";
// Not ending in .prom: the textfile collector never reads it.
constexpr char MetricsNewName[] = "corvane.prom.new";

// True when the whole text is in the new file; the file lets every other
// open through, so that a reader cannot keep it from being written next time.
static bool WriteNewFile(const std::string& text) {
    HANDLE file = CreateFileA(MetricsNewName, GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool whole = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                 written == text.size();
    CloseHandle(file);
    return whole;
}

void WriteMetricsWhenDue(MetricsWriter& writer, ServerRecord* records, const uint32_t* positions,
                         uint32_t count, DWORD nowMs) {
    if (!writer.written || nowMs - writer.lastWriteMs >= MetricsIntervalMs) {
        ServerFacts facts[FleetSlots];
        count = count < FleetSlots ? count : FleetSlots;
        uint32_t slots[FleetSlots];
        for (uint32_t slot = 0; slot < count; ++slot) {
            slots[slot] = slot;
        }
        std::stable_sort(slots, slots + count,
                         [&](uint32_t a, uint32_t b) { return positions[a] < positions[b]; });
        for (uint32_t i = 0; i < count; ++i) {
            SnapshotRecords(&records[slots[i]], 1, &facts[i]);
        }
        writer.written = true;
        writer.lastWriteMs = nowMs;
        bool whole = WriteNewFile(RenderMetrics(facts, count, static_cast<int64_t>(time(nullptr)),
                                                writer.startUnix));
        if (whole == writer.failing) {
            writer.failing = !whole;
            if (writer.failing) {
                WriteLog("Cannot write corvane.prom.new (error %lu), metrics are not updated",
                         GetLastError());
            } else {
                WriteLog("corvane.prom is written again");
            }
        }
        writer.replacePending = whole;
    }
    if (writer.replacePending &&
        MoveFileExA(MetricsNewName, MetricsName, MOVEFILE_REPLACE_EXISTING)) {
        writer.replacePending = false;
    }
}
