// Planned restarts: the keys' values, the time-of-day rule and the warnings.
#include "monitor/restart_rules.h"

#include <ctype.h>
#include <stdlib.h>

constexpr int32_t MinutesPerDay = 24 * 60;
constexpr uint32_t DefaultRestartWindow = 60;
constexpr uint32_t LongestRestartWindow = 24 * 60;

// A whole decimal number with nothing around it; false for anything else.
static bool ReadWholeNumber(const char* text, unsigned long long& value) {
    if (!isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    char* end = nullptr;
    value = strtoull(text, &end, 10);
    return *end == '\0' && value <= 0xFFFFFFFFull;
}

static const char* SkipBlanks(const char* at) {
    while (*at == ' ' || *at == '\t') {
        ++at;
    }
    return at;
}

bool ReadRestartTimes(const char* text, RestartTimes& times) {
    times = RestartTimes();
    const char* at = SkipBlanks(text);
    if (*at == '\0') {
        return true;
    }
    for (;;) {
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        int hour = 0;
        int hourDigits = 0;
        for (; digit(*at) && hourDigits < 2; ++hourDigits) {
            hour = hour * 10 + (*at++ - '0');
        }
        if (hourDigits == 0 || hour > 23 || *at++ != ':' || !digit(at[0]) || !digit(at[1]) ||
            times.count == MaxRestartTimes) {
            break;
        }
        int minute = (at[0] - '0') * 10 + (at[1] - '0');
        at = SkipBlanks(at + 2);
        if (minute > 59 || (*at != ',' && *at != '\0')) {
            break;
        }
        times.minutes[times.count++] = hour * 60 + minute;
        if (*at == '\0') {
            return true;
        }
        at = SkipBlanks(at + 1);
    }
    times = RestartTimes();
    return false;
}

bool ReadMemoryHigh(const char* text, const char* maxMemory, uint32_t& mib) {
    mib = 0;
    if (text[0] == '\0') {
        return true;
    }
    unsigned long long value = 0;
    unsigned long long limit = strtoull(maxMemory, nullptr, 10);
    if (!ReadWholeNumber(text, value) || value == 0 || (limit != 0 && value >= limit)) {
        return false;
    }
    mib = static_cast<uint32_t>(value);
    return true;
}

bool ReadRestartWindow(const char* text, uint32_t& minutes) {
    minutes = DefaultRestartWindow;
    if (text[0] == '\0') {
        return true;
    }
    unsigned long long value = 0;
    if (!ReadWholeNumber(text, value) || value > LongestRestartWindow) {
        return false;
    }
    minutes = static_cast<uint32_t>(value);
    return true;
}

int64_t LocalClockSeconds(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 of a date of the proleptic Gregorian calendar.
    int64_t y = year - (month <= 2);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yearOfEra = y - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    int64_t days = era * 146097 + dayOfEra - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60 + second;
}

// Minutes of the wall clock at which day (from 1970) begins.
static int64_t DayStart(int64_t minute) {
    int64_t day = minute >= 0 ? minute / MinutesPerDay : (minute + 1) / MinutesPerDay - 1;
    return day * MinutesPerDay;
}

int64_t RestartTimeCame(const RestartTimes& times, int64_t localMinute, int64_t lastTaken) {
    int64_t latest = -1;
    int64_t today = DayStart(localMinute);
    for (uint32_t i = 0; i < times.count; ++i) {
        int64_t at = today + times.minutes[i];
        at = at <= localMinute ? at : at - MinutesPerDay; // its last time, today or yesterday
        latest = at > latest ? at : latest;
    }
    return latest > lastTaken ? latest : -1;
}

int64_t NextRestartTime(const RestartTimes& times, int64_t afterMinute) {
    int64_t next = -1;
    int64_t today = DayStart(afterMinute);
    for (uint32_t i = 0; i < times.count; ++i) {
        int64_t at = today + times.minutes[i];
        at = at > afterMinute ? at : at + MinutesPerDay;
        next = next < 0 || at < next ? at : next;
    }
    return next;
}

uint32_t RestartWarningMinutes(int64_t secondsLeft, uint32_t& warned) {
    const uint32_t FirstGiven = 1;
    const uint32_t LastGiven = 2;
    if (secondsLeft <= 60 && (warned & LastGiven) == 0) {
        warned = FirstGiven | LastGiven;
        return 1;
    }
    if (secondsLeft <= 300 && (warned & FirstGiven) == 0) {
        warned |= FirstGiven;
        return static_cast<uint32_t>((secondsLeft + 59) / 60);
    }
    return 0;
}
