// Planned restarts' decisions apart from asking Windows: the three keys read
// as values, the time-of-day rule on the local wall clock, and the warnings
// of the wait for an empty server.
#pragma once

#include <stdint.h>

// At most this many times of day in one RestartAt.
constexpr uint32_t MaxRestartTimes = 10;

struct RestartTimes {
    uint32_t count = 0;
    int32_t minutes[MaxRestartTimes] = {}; // after local midnight
};

// RestartAt: times "H:MM" or "HH:MM" (hours 0 to 23) split by commas, blanks
// allowed around each. Empty gives no times. False, with no times, for
// anything else ("25:00", "4pm", "4:0", an empty item, more than
// MaxRestartTimes).
bool ReadRestartTimes(const char* text, RestartTimes& times);

// MemoryHigh in MiB: empty gives 0, off. False, with 0, for text that is not a
// whole number above 0, or one at or above a MaxMemory other than 0.
bool ReadMemoryHigh(const char* text, const char* maxMemory, uint32_t& mib);

// RestartWindow in minutes: empty gives the default, 60. False, with 60, for
// text that is not a whole number from 0 to 1440.
bool ReadRestartWindow(const char* text, uint32_t& minutes);

// A local date and time as one count of seconds since 1970-01-01 00:00 read
// as if it were UTC: the local wall clock, which a clock change moves.
int64_t LocalClockSeconds(int year, int month, int day, int hour, int minute, int second);

// The time-of-day rule, in minutes of the local wall clock: the latest listed
// time later than lastTaken and not later than localMinute, or -1 when none
// has come. The caller keeps it as its next lastTaken; before any, lastTaken
// is the minute it began to watch. So a time a clock change skips is taken at
// the first look after it, a time it repeats once, a time before the start
// never, and several times that came at once give one restart.
int64_t RestartTimeCame(const RestartTimes& times, int64_t localMinute, int64_t lastTaken);

// The first listed time later than afterMinute, in minutes of the local wall
// clock; -1 without times.
int64_t NextRestartTime(const RestartTimes& times, int64_t afterMinute);

// While a due restart waits for an empty server, secondsLeft before its
// window ends: the minutes to announce, or 0. The first warning comes once
// 5 minutes or less are left (with what is left, rounded up), the second
// once 1 minute or less is; each once, marked in warned.
uint32_t RestartWarningMinutes(int64_t secondsLeft, uint32_t& warned);
