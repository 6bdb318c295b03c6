// Alert thread: snapshots, the pure rules of alert_rules.cpp, and the posts
// through WinHTTP, one at a time.
#include "report/alert_sender.h"

#include "support/windows_api.h"

#include <algorithm>
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
// The stop waits this long for the thread, after asking it to end before the
// monitors' stop; past it, a post or lookup still in flight is left behind.
constexpr DWORD AlertStopWaitMs = 1000;
// A lookup of a webhook's host is waited for this long at most.
constexpr DWORD LookupWaitMs = 5000;
// Reserved, not committed: the resolver may go deep.
constexpr DWORD LookupStackSize = 262144;

// One lookup of a host, on a thread of its own: the thread and its asker
// each hold it, and the last to let go frees it.
struct HostLookup {
    volatile LONG holders = 2;
    volatile LONG done = 0;
    char host[AlertUrlSize] = {};
    bool found = false;
    int error = 0;
};

// One server's alerts as the thread keeps them.
struct AlertSlot {
    char url[AlertUrlSize] = {}; // the AlertUrl the target was taken from
    bool usable = false;         // it parsed
    HostLookup* lookup = nullptr; // one that outlived its wait, until it ends
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
    volatile LONG undelivered = 0; // messages queued or gathered, for the stop's line
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

void LetGo(HostLookup*& lookup) {
    if (lookup != nullptr && InterlockedDecrement(&lookup->holders) == 0) {
        delete lookup;
    }
    lookup = nullptr;
}

DWORD WINAPI LookupMain(LPVOID parameter) {
    HostLookup* lookup = static_cast<HostLookup*>(parameter);
    lookup->found = gethostbyname(lookup->host) != nullptr;
    lookup->error = lookup->found ? 0 : WSAGetLastError();
    InterlockedExchange(&lookup->done, 1);
    LetGo(lookup);
    return 0;
}

// Looks the slot's host up on a thread of its own, waiting at most
// LookupWaitMs or until stop is set: true when it resolved, else the
// Windows Sockets error (WSAETIMEDOUT for no answer in time). A lookup that
// outlives its wait is kept in the slot, and no other begins until it ends.
bool LookUp(AlertSlot& slot, HANDLE stop, int& error) {
    error = WSAETIMEDOUT;
    if (slot.lookup != nullptr && slot.lookup->done == 0) {
        return false;
    }
    LetGo(slot.lookup);
    HostLookup* lookup = new HostLookup();
    memcpy(lookup->host, slot.target.host.c_str(),
           std::min(slot.target.host.size(), sizeof lookup->host - 1));
    HANDLE thread = CreateThread(nullptr, LookupStackSize, LookupMain, lookup,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        error = static_cast<int>(GetLastError());
        delete lookup;
        return false;
    }
    HANDLE waited[] = {thread, stop};
    WaitForMultipleObjects(2, waited, FALSE, LookupWaitMs);
    CloseHandle(thread);
    if (lookup->done == 0) {
        slot.lookup = lookup;
        return false;
    }
    bool found = lookup->found;
    error = lookup->error;
    LetGo(lookup);
    return found;
}

// A server's AlertUrl, new or changed: one line when it cannot be used. The
// messages waiting go to the new one.
void TakeUrl(AlertSlot& slot, const ServerFacts& facts) {
    memcpy(slot.url, facts.alertUrl, sizeof slot.url);
    slot.usable = false;
    slot.queue.hostFound = false;
    slot.queue.nextTry = 0;
    slot.queue.failures = 0;
    if (slot.url[0] == '\0') {
        return;
    }
    if (!ParseAlertUrl(slot.url, slot.target)) {
        WriteLog("\"%s\" has AlertUrl \"%s\", which is no http or https URL: no alerts are sent",
                 facts.name, slot.url);
    } else {
        slot.usable = true;
    }
}

// What the server said since the last turn, into its gather and queue; the
// messages of a server whose block was removed, or whose slot another
// server now has, are counted in one line and dropped.
void Gather(AlertSlot& slot, const ServerFacts& facts, int64_t now) {
    bool another = facts.inUse && strcmp(slot.seen.name, facts.name) != 0;
    if (facts.removed || another) {
        uint32_t dropped = Undelivered(slot.queue, slot.gather);
        if (dropped != 0) {
            WriteLog("Alerts for \"%s\" not delivered at its removal: %u", slot.seen.name,
                     dropped);
        }
        ServerFacts seen = slot.seen; // the same server back: its counters are no news
        LetGo(slot.lookup);
        slot = AlertSlot();
        slot.seen = seen;
    }
    if (!facts.inUse) {
        return;
    }
    if (strcmp(slot.url, facts.alertUrl) != 0 || another) {
        // At the first sight of a server its counters since the service
        // started are news; at a change of its AlertUrl they are not.
        TakeUrl(slot, facts);
        slot.gather = AlertGather();
        slot.seen = facts;
        if (another) {
            slot.seen = ServerFacts();
            memcpy(slot.seen.name, facts.name, sizeof slot.seen.name);
        }
    }
    if (slot.usable) {
        GatherChanges(slot.gather, slot.seen, facts, now);
        std::string text = TakeAlert(slot.gather, facts.nameUtf8, now);
        if (!text.empty()) {
            QueueAlert(slot.queue, text);
        }
    }
    slot.seen = facts;
}

// The host's lookup when due, then the next post when one is due: at most
// one of each. False when the stop came meanwhile: nothing more is said.
bool Deliver(AlertThread& alerts, AlertSlot& slot, const char* name) {
    int64_t now = Seconds();
    DeliveryNote note = NothingToSay;
    int status = 0;
    DWORD error = 0;
    if (LookupDue(slot.queue, now)) {
        int lookupError = 0;
        bool found = LookUp(slot, alerts.stop, lookupError);
        if (WaitForSingleObject(alerts.stop, 0) == WAIT_OBJECT_0) {
            return false;
        }
        if (AfterLookup(slot.queue, found, Seconds()) == NowFailing) {
            WriteLog("Alerts for \"%s\" cannot be delivered: its host \"%s\" does not resolve "
                     "(error %d), retrying",
                     name, slot.target.host.c_str(), lookupError);
        }
    }
    std::string post = NextAlertPost(slot.queue, Seconds());
    if (!post.empty()) {
        int64_t retryAfter = -1;
        status = Post(alerts.session, slot.target, AlertBody(post), retryAfter, error);
        if (WaitForSingleObject(alerts.stop, 0) == WAIT_OBJECT_0) {
            return false;
        }
        note = AfterPost(slot.queue, status, retryAfter, Seconds());
        if (status >= 200 && status < 300) {
            InterlockedDecrement(&alerts.undelivered);
        }
    }
    switch (note) {
    case NowFailing:
        if (status != 0) {
            WriteLog("Alerts for \"%s\" cannot be delivered: the webhook answers %d, retrying",
                     name, status);
        } else {
            WriteLog("Alerts for \"%s\" cannot be delivered (error %lu), retrying", name, error);
        }
        break;
    case DeliveredAgain:
        WriteLog("Alerts for \"%s\" are delivered again", name);
        break;
    default:
        break;
    }
    return true;
}

// First every server's news, then the lookups and posts, which may block:
// the count of undelivered messages is whole before any of them.
void Turn(AlertThread& alerts, int64_t now) {
    ServerFacts facts[FleetSlots];
    SnapshotRecords(alerts.records, alerts.count, facts);
    LONG undelivered = 0;
    for (uint32_t i = 0; i < alerts.count; ++i) {
        Gather(alerts.slots[i], facts[i], now);
        undelivered += Undelivered(alerts.slots[i].queue, alerts.slots[i].gather);
    }
    InterlockedExchange(&alerts.undelivered, undelivered);
    for (uint32_t i = 0; i < alerts.count; ++i) {
        AlertSlot& slot = alerts.slots[i];
        if (facts[i].inUse && slot.usable && !Deliver(alerts, slot, facts[i].name)) {
            return;
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
    for (AlertSlot& slot : alerts.slots) {
        LetGo(slot.lookup);
    }
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

void AskAlertSenderToEnd() {
    if (Alerts != nullptr && Alerts->stop != nullptr) {
        SetEvent(Alerts->stop);
    }
}

bool StopAlertSender() {
    if (Alerts == nullptr) {
        return true;
    }
    AskAlertSenderToEnd();
    bool ended = Alerts->thread == nullptr ||
                 WaitForSingleObject(Alerts->thread, AlertStopWaitMs) == WAIT_OBJECT_0;
    if (Alerts->undelivered > 0) {
        WriteLog("Alerts not delivered at the stop: %ld", Alerts->undelivered);
    }
    if (!ended) { // all it may still touch stays, until the process ends
        Alerts = nullptr;
        return false;
    }
    if (Alerts->thread != nullptr) {
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
    return true;
}
