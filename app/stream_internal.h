// The parsers of the download pipeline, open to the tests and fuzz targets.
#pragma once

#include <cstdint>

#include "app/orvado.h"

constexpr uint32_t StreamMaxChunks = 3;  // chunk URLs taken from each chunk list

namespace stream_internal {

// Master playlist (carriage returns and commas already turned into line
// feeds): the variant with the highest BANDWIDTH= becomes _OrvadoChunkName, of
// equal ones the earlier; shows "%u kb/s". False when the step ends (a variant
// line that cannot be found, or "URL >> 1").
bool ChooseVariant(const char* text);

// The last three chunk URLs of a chunk list (carriage returns already turned
// into line feeds), in list order, joined to _OrvadoURLXXX when relative.
// Returns how many (0 to 3), or -1 when the step ends ("URL >> 2").
int32_t SelectChunks(const char* text, char (&chunk)[StreamMaxChunks][StreamUrlSize]);

// True when a chunk log shows that its download failed.
bool LogShowsFailure(const char* log);

}  // namespace stream_internal
