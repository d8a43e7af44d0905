// The application shell: header sections, start routine and event handler.
#include "app/orvado.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/paths.h"
#include "lib/files/files.h"
#include "lib/firmware/keytranslate.h"
#include "lib/log/log.h"

#define TAP_SECTION(name) extern "C" __attribute__((visibility("default"), used, section(name)))

// The firmware's loader reads these blocks; each is zero-padded.
TAP_SECTION("._tap_etcinfo") const char __tap_etc_str__[64] = __DATE__;
TAP_SECTION("._tap_description") const char __tap_description__[128] = "Orvado " ORVADO_VERSION;
TAP_SECTION("._tap_program_name") const char __tap_program_name__[64] = "Orvado";
TAP_SECTION("._tap_author_name") const char __tap_author_name__[64] = "The Orvado developers";
TAP_SECTION("._tap_id") const uint32_t __tap_ud__ = 0x0F0A7202;
TAP_SECTION("._tap_header") const unsigned char __tap_Header__[32] = {'K', 'R', 'U', 'X', 'M', 'I', 'P', 'S', 0x10};

uint16_t _rgn = 0;
uint32_t _tick = 0;
uint32_t _mainState = 0, _subState = 0;
uint32_t _stream_load_flag = 0;
uint32_t _Streamtick = 0;
TYPE_PlayInfo _PlayFile;
FontDataUC Calibri_12_FontDataUC;
FontDataUC Calibri_14_FontDataUC;

static uint32_t _exit = 0;

// An orvado.ini in the old place is moved into the settings folder, unless
// the settings folder has one already: the owner's current list is kept, and
// the old one is renamed to orvado.ini.old beside it, not lost.
static void MoveOldSettings(void) {
  HDD_ChangeDir(ProgramsDir);
  if (!TAP_Hdd_Exist("orvado.ini")) return;
  if (!HDD_Exist(ORVADO_SETTINGS "orvado.ini")) {
    system("mv " ORVADO_PROGRAMS "orvado.ini " ORVADO_SETTINGS "orvado.ini");
    return;
  }
  system("mv " ORVADO_PROGRAMS "orvado.ini " ORVADO_PROGRAMS "orvado.ini.old");
  LogEntryZindraPrintf(1, "Orvado: kept %sorvado.ini; the older %sorvado.ini is now %sorvado.ini.old", ORVADO_SETTINGS,
                       ORVADO_PROGRAMS, ORVADO_PROGRAMS);
}

int TAP_Main(void) {
  KeyTranslate(true, TAP_EventHandler);
  if (!FMUC_LoadFontFile("Calibri_12.ufnt", &Calibri_12_FontDataUC) ||
      !FMUC_LoadFontFile("Calibri_14.ufnt", &Calibri_14_FontDataUC)) {
    FMUC_FreeFontFile(&Calibri_12_FontDataUC);
    FMUC_FreeFontFile(&Calibri_14_FontDataUC);
    return 0;
  }
  _rgn = static_cast<uint16_t>(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
  _tick = TAP_GetTick();
  if (system("mkdir " ORVADO_SETTINGS) == 0) SetStatusAusgabe("orvado erstellt", _StatusShowTime);
  if (system("mkdir " ORVADO_TMP) == 0) SetStatusAusgabe("MF tmp erst", _StatusShowTime);
  // Some receivers' own tools look for wget there. The pipeline itself calls
  // the package's by its full path, so a read-only root does no harm.
  if (!HDD_Exist("/bin/wget")) {
    system("cp " ORVADO_WGET " /bin/wget 2>/dev/null");
    system("chmod 755 /bin/wget 2>/dev/null");
  }
  MoveOldSettings();
  SetStatusAusgabe("Start Orvado", _StatusShowTime);
  readini();
  return 1;
}

// One pipeline step, the next paced from the tick `from` that found it due.
static void Step(uint32_t from) {
  _Streamtick = from + StreamStepTicks;
  stream();
  _Streamtick = from + StreamPaceTicks();
}

static uint32_t MenuKey(uint32_t key) {
  if (key >= RKEY_1 && key <= RKEY_9 && _PlayFile.playMode == 0) {
    TAP_EnterNormal();
    cls();
    StreamStart(static_cast<uint8_t>(key & 0xFF));
    TAP_EnterNormal();
    return 0;
  }
  if (key == RKEY_Exit) {
    _exit = 1;
    KillTask("wget");
    TAP_EnterNormal();
    cls();
    system("rm " ORVADO_TMP "*");
    TAP_Exit();
    return 0;
  }
  return key;
}

uint32_t TAP_EventHandler(uint32_t event, uint32_t param1, uint32_t /*param2*/) {
  event &= 0xFFFF;
  if (event == EVT_STOP) {
    KillTask("wget");
    cls();
    TAP_EnterNormal();
    TAP_Exit();
    return param1;
  }
  TAP_GetState(&_mainState, &_subState);
  if (_mainState != 0) return param1;
  // Paced against the tick of an earlier event, so a long step only delays
  // the next one.
  bool stepDue = _stream_load_flag == 1 && _Streamtick < _tick;
  uint32_t dueAt = _tick;
  if (_subState != 0 && _subState != 31) {
    if (stepDue) Step(dueAt);
    return param1;
  }
  _tick = TAP_GetTick();
  TAP_Hdd_GetPlayInfo(&_PlayFile);
  if (_stream_load_flag == 0) {
    if (_exit == 0 && _subState != 0) TAP_ExitNormal();
    liststream();
  }
  StatusAusgabe();
  TAP_Osd_Sync();
  // The key first: a step may hold the thread for seconds, and one that is
  // due does not run on the key that ends streaming.
  uint32_t result = param1;
  if (event == EVT_KEY && param1 <= RKEY_LastCode) {
    if (_stream_load_flag == 1) {
      if (param1 == RKEY_Exit || param1 == RKEY_Stop) {
        StreamStop();
        TAP_EnterNormal();
      }
    } else {
      result = MenuKey(param1);
    }
  }
  if (stepDue && _stream_load_flag == 1) Step(dueAt);
  return result;
}

void cls(void) {
  TAP_Osd_FillBox(0, 0, 0, 720, 576, 0);
  TAP_Osd_FillBox(_rgn, 0, 0, 720, 576, 0);
  TAP_Osd_FillBox(2, 0, 0, 720, 576, 0);
  TAP_Osd_Sync();
}

void KillTask(const char* name) {
  char command[1024];
  snprintf(command, sizeof command, "pidof %s", name);
  FILE* pipe = popen(command, "r");
  if (!pipe) return;
  // pidof prints one line of numbers. Reading it in fixed pieces could cut a
  // number in two and kill an unrelated process, so whole numbers are
  // gathered into kill commands that always fit the buffer.
  char kill[1024];
  size_t used = 0;
  char word[32];
  size_t length = 0;
  bool number = true;
  for (int c = fgetc(pipe);; c = fgetc(pipe)) {
    if (c != EOF && c != ' ' && c != '\t' && c != '\n') {
      number = number && c >= '0' && c <= '9' && length < sizeof word - 1;
      if (number) word[length++] = char(c);
      continue;
    }
    bool take = number && length > 0;
    word[length] = '\0';
    length = 0;
    number = true;
    if (!take) {
      if (c == EOF) break;
      continue;
    }
    if (used > 0 && used + 1 + strlen(word) + 1 > sizeof kill) {
      system(kill);
      used = 0;
    }
    used += static_cast<size_t>(snprintf(kill + used, sizeof kill - used, used ? " %s" : "kill %s", word));
    if (c == EOF) break;
  }
  if (used > 0) system(kill);
  pclose(pipe);
}
