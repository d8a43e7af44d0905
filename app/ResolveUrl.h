// Resolution of the URIs that playlists hold, as HLS defines it: against the
// URL of the playlist that holds them (RFC 8216 section 4.1), by the
// algorithm of RFC 3986 section 5.2.
#pragma once

#include <cstddef>

// Resolves the URI reference `reference` (`length` bytes, no terminator
// needed) against the URL `base` (NUL-terminated) into `out`, which holds
// `outSize` bytes, terminator included. Dot segments are removed; query and
// fragment are kept as RFC 3986 section 5.2.2 says. A base without a scheme
// is taken as it is (the result then has none either). Returns true with the
// result in `out`; false, with `out` empty, when the result or the reference
// does not fit `outSize` or an argument is null.
bool ResolveUrl(const char* base, const char* reference, size_t length, char* out, size_t outSize);
