// Text of the support library: UTF-8 characters in mixed UTF-8 and 8-bit
// text, broadcast text (ISO/IEC 8859 parts, ISO/IEC 6937) to UTF-8, and a
// character filter for file names and drawn text.
//
// A text is a NUL-terminated byte string, each byte read as unsigned. It may
// open with character-table bytes: when its first byte is 0x01..0x1F it is a
// selector of 1 byte (0x01..0x0F, 0x11..0x1E), 3 bytes (0x10 and a two-byte
// table number, whose first byte is 0x00 and not a terminator) or 2 bytes
// (0x1F and an encoding byte). A selector cut short by the terminator (in the
// third byte of 0x10, the second of 0x1F) ends there. A character is a
// multi-byte UTF-8 sequence (see isUTF8Char) or else one byte. Character
// positions count from the first character behind the character-table bytes.
//
// Nothing here allocates. Null pointers are tolerated everywhere; optional
// out-parameters may be null.
#pragma once

#include <cstdint>

// ---- UTF-8 primitives --------------------------------------------------------

// Tells whether p starts a multi-byte UTF-8 character: a lead byte 0xC0..0xDF,
// 0xE0..0xEF or 0xF0..0xF7 followed by 1, 2 or 3 continuation bytes
// (0x80..0xBF). Overlong forms, surrogates and values above U+10FFFF count.
// The bytes behind the lead are read only while they are continuation bytes,
// so nothing behind a terminator is read.
// len (out, optional): 2..4 for a multi-byte character, else 1.
// Returns 1 for a multi-byte character, else 0 (also for a null p).
int isUTF8Char(const char* p, uint8_t* len);

// Decodes the character at p. A byte that starts no multi-byte character
// decodes to its own value (so 0xE9 alone is U+00E9).
// len (out, optional): the character's length in bytes, 1..4.
// Returns the code point; 0 with length 1 for a null p.
uint32_t UTF8ToUTF32(const char* p, uint8_t* len);

// Encodes cp as 1..4 bytes of UTF-8 into out (no terminator), without a range
// check; code point 0 gives one zero byte.
// out (out, optional): room for 4 bytes; null only measures.
// len (out, optional): receives the byte count too.
// Returns the byte count, 1..4.
int UTF32ToUTF8(uint32_t cp, char* out, uint8_t* len);

// Skips the character-table bytes at the start of text.
// Returns the first byte behind them (text itself when there are none), or
// null for a null text. Never passes the terminator.
char* SkipCharTableBytes(const char* text);

// Counts the characters behind the character-table bytes.
// Returns the count; 0 for a null or empty text.
int strlenUC(const char* text);

// Finds character number pos behind the character-table bytes.
// Returns its first byte; the first character for pos <= 0; the terminator
// when the text has fewer characters; null for a null text.
char* GetUCPos(const char* text, int pos);

// Inserts `insert` before character pos of text (in place). A pos at or past
// the end appends; a negative pos inserts at the front. Character-table bytes
// stay in front. The caller guarantees room for the grown text and its
// terminator. Does nothing when text or insert is null.
void InsertAt(char* text, int pos, const char* insert);

// Removes count characters from character pos of text (in place); a count
// reaching past the end removes the rest. A negative pos counts as 0. Does
// nothing for a null or empty text, a count of 0 or less, or a pos at or past
// the end.
void DeleteAt(char* text, int pos, int count);

// Classifies text behind its character-table bytes.
// is8bit (out, optional): 1 when a single byte of 0xA0 or more occurs.
// isUTF8 (out, optional): 1 when a multi-byte UTF-8 character occurs.
// Both flags are written (0 for a null or empty text) when given.
void GetStringEncoding(const char* text, int* is8bit, int* isUTF8);

// Tells whether the firmware handles file names in UTF-8, that is whether it
// offers its UTF-8 name conversion function. Asks the firmware on the first
// call only and keeps that answer for the program's life.
// Returns 1 or 0.
int isUTFNembo(void);

// ---- broadcast text ----------------------------------------------------------

// Converts broadcast text src to UTF-8 in dst. A selector at the start of src
// chooses the code table (0x01..0x0B: ISO 8859-5..15; 0x10 x n: number n;
// 0x15: src is UTF-8 and is copied as it is); else codeTableNumber (low 8
// bits) counts: 1..11 and 13..16 the ISO 8859 part, every other number ISO
// 6937, and 0 ISO 6937 with its non-spacing marks composed with the letter
// behind them. Valid UTF-8 sequences in src are copied unchanged. Bytes
// 0x80..0x9F become U+0080..U+009F. An unassigned table position writes a zero
// byte, which ends the result as a string. A mark pair that cannot be composed
// is dropped and logged.
// dst (out): room for 3 bytes per byte of src and a terminator; must not
// overlap src. Count src's bytes as (SkipCharTableBytes(src) - src) +
// strlen(SkipCharTableBytes(src)): the 0x00 in a 0x10 selector hides the rest
// of the text from strlen(src). Bytes of that room behind the result may be
// overwritten.
// Returns 0 when src or dst is null (nothing written), when src is UTF-8 by
// its selector, or when nothing went through a code table; 1 for an empty
// src or when something was converted.
int StrToUTF8(const char* src, char* dst, uint32_t codeTableNumber);

// ---- character filter --------------------------------------------------------

// Bits of a filter mask; a character is legal when every selected rule passes it.
constexpr uint32_t LC_Control = 1;    // 0x00..0x1F but 0x0A; 0x7F..0x9F but 0x80, 0x8A, 0x91, 0x92
constexpr uint32_t LC_LineBreak = 2;  // 0x0A and 0x8A
constexpr uint32_t LC_FileName = 4;   // " * / : < > ? \ |
constexpr uint32_t LC_ASCII = 8;      // everything outside 0x20..0x7E

// Judges the byte at p (for a multi-byte character, its lead byte) by the
// rules of mask. Returns 1 when it passes every selected rule, else 0; 0 for
// a null p.
int isLegalChar(const char* p, uint32_t mask);

// Copies src into dst without the characters that isLegalChar rejects; a
// multi-byte character is copied whole or not at all. Copying stops once the
// output holds 126 bytes (it may end a multi-byte character at up to 129), or
// when the next character would not fit in dstSize with the terminator.
// dst (out): dstSize bytes. The result is empty when src is null or empty or
// its byte length is not less than dstSize.
// Returns dst; writes nothing when dst is null or dstSize is 0.
char* ValidFileName(const char* src, uint32_t mask, char* dst, uint32_t dstSize);

// Filters text in place, as ValidFileName with a 512-byte buffer: a text of
// 512 bytes or more becomes empty. Does nothing for a null text.
void MakeValidFileName(char* text, uint32_t mask);
