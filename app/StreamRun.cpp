// A channel's run: its one record, and the two routines that begin and end
// it. Everything a run sets is cleared here, so nothing of the last channel
// (its ring, its jobs, the variant it fell back to) reaches the next.
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"
#include "lib/files/files.h"

using stream_internal::Run;

namespace stream_internal {
StreamRun Run;
}

uint8_t& _StreamNr = Run.channel;
uint32_t& _Stream_Block = Run.block;
uint32_t& _Stream_Block_Ok = Run.blockOk;
int64_t& _StreamFileSize = Run.fileSize;
char (&_OrvadoURLXXX)[StreamUrlSize] = Run.baseUrl;
char (&_OrvadoChunkName)[StreamUrlSize] = Run.chunkName;
char (&_OrvadoChunkListURL)[StreamUrlSize] = Run.chunkListUrl;
char (&_OrvadoDlTsFileName_OK)[StreamRingSize][StreamUrlSize] = Run.ring;

void StreamStart(uint8_t channel) {
  memset(&Run, 0, sizeof Run);
  ChunkToTsReset(&Run.convert);
  TsMergeReset(&Run.merge);
  Run.channel = channel;
  HDD_ChangeDir(MediaTmpDir);
  TAP_Hdd_Delete("Stream.ts");
  _stream_load_flag = 1;
}

uint32_t StreamPaceTicks(void) { return Run.paceTicks != 0 ? Run.paceTicks : StreamStepTicks; }

void StreamStop(void) {
  SetStatusAusgabe("Stream off", _StatusShowTime);
  _stream_load_flag = 0;
  KillTask("wget");
  if (_PlayFile.playMode) TAP_Hdd_StopTs();
  system("rm " ORVADO_TMP "*");
}
