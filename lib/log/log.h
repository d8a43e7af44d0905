// Log output and time formatting of the support library.
#pragma once

#include <cstdint>

// Formats a message like printf (cut to 511 characters), stamps it with the
// date and time and "ZINDRA", and writes the line to the first pseudo
// terminal that opens (/dev/pts/0 to /dev/pts/19). Creates
// /mnt/hd/ProgramFiles/Settings on the way. With console 0 nothing is
// written; a null format does nothing at all. Never fails visibly.
void LogEntryZindraPrintf(int console, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes text and its terminating zero byte to the first of /dev/pts/0 to
// /dev/pts/19 that opens. Drops the text when none opens.
void PrintNet(const char* text);

// The current local date and time packed as MJD << 16 | hour << 8 | minute;
// the seconds go to *seconds when it is not null.
uint32_t Now(uint8_t* seconds);

// Writes dateTime (packed as Now gives it) and the low byte of seconds into
// out by pattern `code` (0 empty, 1 "hh:mm", 2 "hh:mm:ss", 3 "yyyy-mm-dd",
// 4 "yyyy-mm-dd hh:mm", 5 "yyyy-mm-dd hh:mm:ss", 6 "yyyymmdd_hhmm", others
// empty). out needs TimeFormatSize bytes; what does not fit is cut. Returns
// out, or null when out is null.
constexpr unsigned TimeFormatSize = 20;
char* TimeFormat(uint32_t dateTime, uint32_t seconds, uint32_t code, char* out);
