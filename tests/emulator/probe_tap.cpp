// A TAP that reaches for the PC with the C library, for the sandbox's probe.
// Its start routine reads three paths from /mnt/hd/probe-targets (a file of
// the PC, a folder of the PC, another writable folder of the PC) and writes
// to /mnt/hd/probe-result one digit for each attempt (1: it worked), then
// its current folder.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/tap.h"

#define TAP_SECTION(name) extern "C" __attribute__((visibility("default"), used, section(name)))
TAP_SECTION("._tap_program_name") const char __tap_program_name__[64] = "Probe";
TAP_SECTION("._tap_header") const unsigned char __tap_Header__[32] = {'K', 'R', 'U', 'X', 'M', 'I', 'P', 'S', 0x10};

namespace {

std::string line(FILE* in) {
  char text[512] = "";
  if (!fgets(text, sizeof text, in)) return "";
  text[strcspn(text, "\n")] = 0;
  return text;
}

bool opens(const char* path, const char* mode) {
  FILE* f = fopen(path, mode);
  if (f) fclose(f);
  return f != nullptr;
}

bool readsByOpen(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool lists(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d) closedir(d);
  return d != nullptr;
}

bool writesByOpen(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

int probeMain() {
  FILE* in = fopen("/mnt/hd/probe-targets", "r");
  if (!in) return 0;
  std::string secret = line(in), folder = line(in), writable = line(in);
  fclose(in);
  std::string report;
  report += opens(secret.c_str(), "r") ? '1' : '0';
  report += readsByOpen(secret) ? '1' : '0';
  report += lists(folder) ? '1' : '0';
  report += opens((folder + "/.orvado-probe").c_str(), "w") ? '1' : '0';
  report += writesByOpen(writable + "/orvado-probe") ? '1' : '0';
  report += opens("orvado-probe", "w") ? '1' : '0';
  report += access("/usr/bin/python3", X_OK) == 0 || access("/usr/bin/gcc", X_OK) == 0 ? '1' : '0';
  char cwd[256] = "";
  report += ' ';
  report += getcwd(cwd, sizeof cwd) ? cwd : "?";
  FILE* out = fopen("/mnt/hd/probe-result", "w");
  if (out) {
    fputs(report.c_str(), out);
    fclose(out);
  }
  return 0;
}

uint32_t probeEvents(uint32_t, uint32_t param1, uint32_t) { return param1; }

}  // namespace

extern "C" __attribute__((visibility("default"))) int __TAP_Init_(TAP_EntryRecord* record) {
  record->main = probeMain;
  record->eventHandler = probeEvents;
  return 0;
}
