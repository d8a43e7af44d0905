// The Orvado application: start routine, event handler and the state they
// share with the status line, the channel menu and the download pipeline.
#pragma once

#include <cstdint>

#include "lib/fonts/fonts.h"
#include "platform/tap.h"

// Seconds that ordinary status messages stay up.
constexpr uint8_t StatusShowTimeAtLoad = 5;
// Ticks between two pipeline steps (3 seconds).
constexpr uint32_t StreamStepTicks = 300;

extern uint16_t _rgn;   // the TAP's full-screen region
extern uint32_t _tick;  // tick of the last event that passed the state checks
extern uint32_t _mainState, _subState;
extern uint32_t _stream_load_flag;        // 0 menu mode, 1 streaming mode
extern uint8_t& _StreamNr;                // channel being streamed, 1 to 9
extern uint32_t _Streamtick;              // the next pipeline step runs once _tick has passed this
extern TYPE_PlayInfo _PlayFile;           // refreshed at every event that passes the state checks
extern uint32_t& _Stream_Block;           // pipeline block counter, reset when a channel starts
extern FontDataUC Calibri_12_FontDataUC;  // status-line font
extern FontDataUC Calibri_14_FontDataUC;  // menu font

// Status line.
extern char _StatusausgabeText[15][16];  // slot texts; slots 0 to 9 are used
extern uint32_t _StatusausgabeTick[10];  // expiry tick per slot, 0 free
extern uint8_t _StatusAusgabeDel;        // boxes drawn by the last redraw
extern uint8_t _StatusShowTime;          // seconds for ordinary messages
extern TYPE_GrData _staGd;               // background of one message box
extern const uint8_t (&_staCpm)[484];    // its packed pixels

extern "C" {
#pragma GCC visibility push(default)
// Start routine. Returns 1 to stay loaded, 0 to end the TAP.
int TAP_Main(void);
// Event handler. Returns param1 to pass a key on, 0 to consume it.
uint32_t TAP_EventHandler(uint32_t event, uint32_t param1, uint32_t param2);
#pragma GCC visibility pop
}

// Shows `text` (at most 15 characters, else "String to long") for `seconds`
// seconds in the first free slot, then redraws the column and syncs. A message
// with no free slot is dropped.
void SetStatusAusgabe(const char* text, uint32_t seconds);
// Redraws the column of live messages into _rgn, without syncing.
void StatusAusgabe(void);

// The TAP's version, as its description and its User-Agent give it.
#define ORVADO_VERSION "02b"

// Channel settings: names (entries 0 to 8, at most 15 characters) and
// playlist URLs (entries 0 to 8, at most 511 characters); empty at load.
extern char _OrvadoName[100][64];
extern char _OrvadoURL[100][512];
// Each channel's User-Agent (tvUA1 to tvUA9, at most 127 bytes); empty for
// the TAP's own, "Orvado/<version>".
extern char _OrvadoUserAgent[9][128];
// Reads tvname1..9 and tvPL1..9 from orvado.ini ("---" for a missing key).
// Returns 1 when the keys were read, 0 when no settings file was found (the
// tables are then left as they were).
int readini(void);
// Draws the channel menu into _rgn, without syncing.
void liststream(void);

// Download pipeline. A channel's run lives in one record (StreamRun in
// app/stream_internal.h), cleared by StreamStart; these names refer into it.
constexpr uint32_t StreamUrlSize = 512;          // URL buffers, terminator included
constexpr uint32_t StreamRingSize = 10;          // chunk URLs remembered as started
extern char (&_OrvadoURLXXX)[StreamUrlSize];     // base URL: the channel URL up to its last "/"
extern char (&_OrvadoChunkName)[StreamUrlSize];  // the playlist's name, or the chosen variant's line as written
// The chunk list's URL: the channel URL, or the chosen variant resolved
// against it. Segment lines resolve against this URL.
extern char (&_OrvadoChunkListURL)[StreamUrlSize];
// The chunk ring: the last ten chunks started (URL, and byte range where
// there is one), oldest in entry 0.
extern char (&_OrvadoDlTsFileName_OK)[StreamRingSize][StreamUrlSize];
extern uint32_t& _Stream_Block_Ok;  // number of the next chunk log to examine
extern int64_t& _StreamFileSize;    // size of Stream.ts after the last append

// Starts channel `channel` (1 to 9): clears the run whole (its ring, jobs,
// variants and counters), deletes the old Stream.ts and enters streaming
// mode. The first pipeline step follows at the next event.
void StreamStart(uint8_t channel);
// Ends streaming mode: "Stream off", every download killed, the playback
// stopped, the work folder emptied.
void StreamStop(void);
// One pipeline step for channel _StreamNr: on the first step of a channel the
// playlist (and, for a master playlist, the variant with the highest
// bandwidth), then in every step the chunk list, background downloads of new
// chunks, and the in-order append of finished, whole transport-stream chunks
// to /mnt/hd/MediaFiles/tmp/Stream.ts; starts the player on it once it
// first holds more than 7,000,000 bytes or 20 seconds of the stream. Each synchronous fetch and each
// background job is bounded in time. A full disk stops the channel's
// downloads. Reports through the status line only.
void stream(void);
// Ticks from this pipeline step to the next: StreamStepTicks, or for a chunk
// list that covers less than two steps its target duration (1 s at least),
// so that no segment leaves it unseen.
uint32_t StreamPaceTicks(void);
// Returns 1 when `url` is not in the chunk ring, which then drops its oldest
// entry and keeps `url` as the newest; 0 when it is there already (or null).
int StremDlTest(const char* url);

// Clears regions 0, _rgn and 2 to transparent and syncs the screen.
void cls(void);
// Ends every running process called `name` (through pidof and kill).
void KillTask(const char* name);
