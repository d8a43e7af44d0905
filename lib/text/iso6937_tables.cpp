// ISO/IEC 6937 as broadcast text uses it: the euro sign at 0xA4, 0xA6
// unassigned, U+03B4 at 0xF3, and the non-spacing marks 0xC1..0xCF as Unicode
// combining marks (they stand before their letter). 0 = unassigned.
#include "lib/text/tables.h"

// The tables keep one row per 16 code points, as the standards print them.
// clang-format off
const uint16_t UTFLookupISO6937[96] = {
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x20AC, 0x00A5, 0x0000, 0x00A7, 0x00A4, 0x2018, 0x201C, 0x00AB, 0x2190, 0x2191, 0x2192, 0x2193,  // 0xA0
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00D7, 0x00B5, 0x00B6, 0x00B7, 0x00F7, 0x2019, 0x201D, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // 0xB0
    0x0000, 0x0300, 0x0301, 0x0302, 0x0303, 0x0304, 0x0306, 0x0307, 0x0308, 0x0000, 0x030A, 0x0327, 0x0000, 0x030B, 0x0328, 0x030C,  // 0xC0
    0x2015, 0x00B9, 0x00AE, 0x00A9, 0x2122, 0x266A, 0x00AC, 0x00A6, 0x0000, 0x0000, 0x0000, 0x0000, 0x215B, 0x215C, 0x215D, 0x215E,  // 0xD0
    0x2126, 0x00C6, 0x0110, 0x00AA, 0x0126, 0x0000, 0x0132, 0x013F, 0x0141, 0x00D8, 0x0152, 0x00BA, 0x00DE, 0x0166, 0x014A, 0x0149,  // 0xE0
    0x0138, 0x00E6, 0x0111, 0x03B4, 0x0127, 0x0131, 0x0133, 0x0140, 0x0142, 0x00F8, 0x0153, 0x00DF, 0x00FE, 0x0167, 0x014B, 0x00AD,  // 0xF0
};

// Mark byte and base letter; letter by letter, within a letter by mark
// (C1 grave, C2 acute, C3 circumflex, C4 tilde, C8 diaeresis, CA ring, CB cedilla).
const char ISO6937_CompositionKeys[] =
    "\xC1" "A \xC2" "A \xC3" "A \xC4" "A \xC8" "A \xCA" "A "
    "\xCB" "C "
    "\xC1" "E \xC2" "E \xC3" "E \xC8" "E "
    "\xC1" "I \xC2" "I \xC3" "I \xC8" "I "
    "\xC4" "N "
    "\xC1" "O \xC2" "O \xC3" "O \xC4" "O \xC8" "O "
    "\xC1" "U \xC2" "U \xC3" "U \xC8" "U "
    "\xC2" "Y "
    "\xC1" "a \xC2" "a \xC3" "a \xC4" "a \xC8" "a \xCA" "a "
    "\xCB" "c "
    "\xC1" "e \xC2" "e \xC3" "e \xC8" "e "
    "\xC1" "i \xC2" "i \xC3" "i \xC8" "i "
    "\xC4" "n "
    "\xC1" "o \xC2" "o \xC3" "o \xC4" "o \xC8" "o "
    "\xC1" "u \xC2" "u \xC3" "u \xC8" "u "
    "\xC2" "y \xC8" "y";

// The precomposed letters (U+00C0..U+00FF) at the same offsets.
const char ISO6937_CompositionValues[] =
    "\xC3\x80 \xC3\x81 \xC3\x82 \xC3\x83 \xC3\x84 \xC3\x85 "  // A: À Á Â Ã Ä Å
    "\xC3\x87 "                                                // Ç
    "\xC3\x88 \xC3\x89 \xC3\x8A \xC3\x8B "                     // È É Ê Ë
    "\xC3\x8C \xC3\x8D \xC3\x8E \xC3\x8F "                     // Ì Í Î Ï
    "\xC3\x91 "                                                // Ñ
    "\xC3\x92 \xC3\x93 \xC3\x94 \xC3\x95 \xC3\x96 "            // Ò Ó Ô Õ Ö
    "\xC3\x99 \xC3\x9A \xC3\x9B \xC3\x9C "                     // Ù Ú Û Ü
    "\xC3\x9D "                                                // Ý
    "\xC3\xA0 \xC3\xA1 \xC3\xA2 \xC3\xA3 \xC3\xA4 \xC3\xA5 "  // a: à á â ã ä å
    "\xC3\xA7 "                                                // ç
    "\xC3\xA8 \xC3\xA9 \xC3\xAA \xC3\xAB "                     // è é ê ë
    "\xC3\xAC \xC3\xAD \xC3\xAE \xC3\xAF "                     // ì í î ï
    "\xC3\xB1 "                                                // ñ
    "\xC3\xB2 \xC3\xB3 \xC3\xB4 \xC3\xB5 \xC3\xB6 "            // ò ó ô õ ö
    "\xC3\xB9 \xC3\xBA \xC3\xBB \xC3\xBC "                     // ù ú û ü
    "\xC3\xBD \xC3\xBF";                                       // ý ÿ

static_assert(sizeof(ISO6937_CompositionKeys) == ISO6937_CompositionCount * 3, "53 entries, last without space");
static_assert(sizeof(ISO6937_CompositionValues) == ISO6937_CompositionCount * 3, "values match the keys");
// clang-format on
