// Alert thread: snapshots, the pure rules of alert_rules.cpp, and the posts
// through WinHTTP, one at a time.
#include "report/alert_sender.h"

#include "support/windows_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winhttp.h>

#include "config/server_entry.h"
#include "report/alert_rules.h"
#include "report/server_record.h"
#include "support/event_log.h"

namespace {

constexpr DWORD AlertTurnMs = 1000;
// Each step of a post waits at most this long: a webhook that takes the
// connection and never answers holds the thread no longer, and the stop
// waits for no more than one post.
constexpr int PostStepTimeoutMs = 5000;
// The deepest use measured (bench/alert_stack_bench.py) is 31,640 bytes over
// https under Wine, 15.5 KiB of it Turn's own frame; Wine's TLS library runs off
// this stack, Windows' on it: eight times that leaves room for the difference.
// Windows commits only what is touched; Wine gives any thread 1 MiB.
constexpr DWORD AlertStackSize = 262144;

// One server's alerts as the thread keeps them.
struct AlertSlot {
    char url[AlertUrlSize] = {}; // the AlertUrl the target was taken from
    bool usable = false;         // it parsed and its host resolved
    AlertTarget target;
    AlertGather gather;
    AlertQueue queue;
    ServerFacts seen = {}; // the facts at the last turn
};

struct AlertThread {
    ServerRecord* records = nullptr;
    uint32_t count = 0;
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
    HINTERNET session = nullptr;
    AlertSlot slots[FleetSlots];
};

AlertThread* Alerts = nullptr; // set and cleared by the service thread only

// Whole seconds of the performance counter: monotonic, and there on Windows XP.
int64_t Seconds() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart / frequency.QuadPart;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Posts body to target: the HTTP status, or 0 with the error when there was
// no answer; a 429's Retry-After seconds go to retryAfter (-1 without).
int Post(HINTERNET session, const AlertTarget& target, const std::string& body, int64_t& retryAfter,
         DWORD& error) {
    retryAfter = -1;
    DWORD status = 0;
    HINTERNET connection = WinHttpConnect(session, Wide(target.host).c_str(), target.port, 0);
    HINTERNET request =
        connection == nullptr
            ? nullptr
            : WinHttpOpenRequest(connection, L"POST", Wide(target.path).c_str(), nullptr,
                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 target.secure ? WINHTTP_FLAG_SECURE : 0);
    const wchar_t* headers = L"Content-Type: application/json\r\n";
    DWORD size = sizeof status;
    if (request != nullptr) {
        // The wait for the answer's headers has a limit of its own (90 s on
        // Windows, none under Wine); Windows XP knows no such option.
        DWORD answerTimeoutMs = PostStepTimeoutMs;
        WinHttpSetTimeouts(request, PostStepTimeoutMs, PostStepTimeoutMs, PostStepTimeoutMs,
                           PostStepTimeoutMs);
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerTimeoutMs,
                         sizeof answerTimeoutMs);
    }
    if (request != nullptr &&
        WinHttpSendRequest(request, headers, static_cast<DWORD>(-1L),
                           const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                           static_cast<DWORD>(body.size()), 0) &&
        WinHttpReceiveResponse(request, nullptr) &&
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        DWORD seconds = 0;
        size = sizeof seconds;
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RETRY_AFTER | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &seconds, &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            retryAfter = seconds;
        }
    } else {
        error = GetLastError();
    }
    if (request != nullptr) {
        WinHttpCloseHandle(request);
    }
    if (connection != nullptr) {
        WinHttpCloseHandle(connection);
    }
    return static_cast<int>(status);
}

// A server's AlertUrl, new or changed: one line when it cannot be used.
void TakeUrl(AlertSlot& slot, const ServerFacts& facts) {
    memcpy(slot.url, facts.alertUrl, sizeof slot.url);
    slot.usable = false;
    slot.queue = AlertQueue();
    if (slot.url[0] == '\0') {
        return;
    }
    if (!ParseAlertUrl(slot.url, slot.target)) {
        WriteLog("\"%s\" has AlertUrl \"%s\", which is no http or https URL: no alerts are sent",
                 facts.name, slot.url);
    } else if (gethostbyname(slot.target.host.c_str()) == nullptr) {
        WriteLog("\"%s\" has AlertUrl host \"%s\", which does not resolve (error %d): no alerts "
                 "are sent",
                 facts.name, slot.target.host.c_str(), WSAGetLastError());
    } else {
        slot.usable = true;
    }
}

void Turn(AlertThread& alerts, int64_t now) {
    ServerFacts facts[FleetSlots];
    SnapshotRecords(alerts.records, alerts.count, facts);
    for (uint32_t i = 0; i < alerts.count; ++i) {
        AlertSlot& slot = alerts.slots[i];
        if (!facts[i].inUse) {
            continue;
        }
        if (strcmp(slot.url, facts[i].alertUrl) != 0 ||
            strcmp(slot.seen.name, facts[i].name) != 0) {
            // At the first sight of a server its counters since the service
            // started are news; at a change of its AlertUrl they are not.
            bool firstSight = slot.seen.name[0] == '\0';
            TakeUrl(slot, facts[i]);
            slot.gather = AlertGather();
            slot.seen = facts[i];
            if (firstSight) {
                slot.seen = ServerFacts();
                memcpy(slot.seen.name, facts[i].name, sizeof slot.seen.name);
            }
        }
        if (!slot.usable) {
            continue;
        }
        GatherChanges(slot.gather, slot.seen, facts[i], now);
        slot.seen = facts[i];
        std::string text = TakeAlert(slot.gather, facts[i].name, now);
        if (!text.empty()) {
            QueueAlert(slot.queue, text);
        }
        std::string post = NextAlertPost(slot.queue, now);
        if (post.empty() || WaitForSingleObject(alerts.stop, 0) == WAIT_OBJECT_0) {
            continue;
        }
        int64_t retryAfter = -1;
        DWORD error = 0;
        int status = Post(alerts.session, slot.target, AlertBody(post), retryAfter, error);
        switch (AfterPost(slot.queue, status, retryAfter, Seconds())) {
        case NowFailing:
            if (status != 0) {
                WriteLog("Alerts for \"%s\" cannot be delivered: the webhook answers %d, retrying",
                         facts[i].name, status);
            } else {
                WriteLog("Alerts for \"%s\" cannot be delivered (error %lu), retrying",
                         facts[i].name, error);
            }
            break;
        case DeliveredAgain:
            WriteLog("Alerts for \"%s\" are delivered again", facts[i].name);
            break;
        default:
            break;
        }
    }
}

#ifdef CORVANE_STACK_PROBE
// The measuring build of bench/CMakeLists.txt: a page the thread may not touch
// is put AlertStackSize below the top of its stack (Wine reserves 1 MiB for any
// smaller size, Windows what it is asked), the stack above it is painted below
// the first frame, and at the end alert_stack.txt gets the deepest use in bytes.
constexpr unsigned char StackPaint = 0xA5;

unsigned char* StackFloor() {
    MEMORY_BASIC_INFORMATION stack = {}; // the committed stack from below this frame to its top
    VirtualQuery(&stack, &stack, sizeof stack);
    return static_cast<unsigned char*>(stack.BaseAddress) + stack.RegionSize - AlertStackSize +
           4096;
}

__attribute__((noinline)) void PaintStack() {
    DWORD was = 0;
    VirtualProtect(StackFloor() - 4096, 4096, PAGE_NOACCESS, &was);
    volatile unsigned char here = 0;
    uintptr_t below = reinterpret_cast<uintptr_t>(&here) - 1024;
    for (volatile unsigned char* at = StackFloor(); reinterpret_cast<uintptr_t>(at) < below; ++at) {
        *at = StackPaint;
    }
}

void WriteStackUse() {
    const unsigned char* at = StackFloor();
    while (*at == StackPaint) {
        ++at;
    }
    FILE* file = fopen("alert_stack.txt", "w");
    fprintf(file, "%lld\n", static_cast<long long>(StackFloor() + AlertStackSize - 4096 - at));
    fclose(file);
}
#endif

DWORD WINAPI AlertMain(LPVOID parameter) {
    AlertThread& alerts = *static_cast<AlertThread*>(parameter);
#ifdef CORVANE_STACK_PROBE
    PaintStack();
#endif
    do {
        Turn(alerts, Seconds());
    } while (WaitForSingleObject(alerts.stop, AlertTurnMs) == WAIT_TIMEOUT);
#ifdef CORVANE_STACK_PROBE
    WriteStackUse();
#endif
    return 0;
}

} // namespace

void StartAlertSender(ServerEntry* const* table, ServerRecord* records, uint32_t count) {
    bool wanted = false;
    for (uint32_t i = 0; i < count; ++i) {
        wanted = wanted || (table[i] != nullptr && table[i]->AlertUrl[0] != '\0');
    }
    if (!wanted || Alerts != nullptr) {
        return;
    }
    Alerts = new AlertThread();
    Alerts->records = records;
    Alerts->count = count < FleetSlots ? count : FleetSlots;
    Alerts->session = WinHttpOpen(L"Corvane/1.10", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (Alerts->session != nullptr) {
        WinHttpSetTimeouts(Alerts->session, PostStepTimeoutMs, PostStepTimeoutMs, PostStepTimeoutMs,
                           PostStepTimeoutMs);
    }
    Alerts->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Alerts->thread = Alerts->session == nullptr || Alerts->stop == nullptr
                         ? nullptr
                         : CreateThread(nullptr, AlertStackSize, AlertMain, Alerts,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (Alerts->thread == nullptr) {
        WriteLog("Cannot start the alert thread (error %lu): no alerts are sent", GetLastError());
        StopAlertSender();
    }
}

void StopAlertSender() {
    if (Alerts == nullptr) {
        return;
    }
    if (Alerts->thread != nullptr) {
        SetEvent(Alerts->stop);
        WaitForSingleObject(Alerts->thread, INFINITE);
        CloseHandle(Alerts->thread);
    }
    if (Alerts->stop != nullptr) {
        CloseHandle(Alerts->stop);
    }
    if (Alerts->session != nullptr) {
        WinHttpCloseHandle(Alerts->session);
    }
    delete Alerts;
    Alerts = nullptr;
}
