// The application's fixed places on the receiver's disk, in one place. Each
// comes as a Linux path (for shell commands, which need string literals so
// that the compiler checks every format against its buffer) and, where the
// TAP's own file calls use it, as the TAP view of the same folder.
#pragma once

// Linux paths: folders end with "/".
#define ORVADO_SETTINGS "/mnt/hd/ProgramFiles/Settings/orvado/"
#define ORVADO_TMP "/mnt/hd/MediaFiles/tmp/"
#define ORVADO_PROGRAMS "/mnt/hd/ProgramFiles/"
#define ORVADO_STREAM_TS ORVADO_TMP "Stream.ts"
// The package's downloader, beside the TAP.
#define ORVADO_WGET ORVADO_PROGRAMS "wget"

// The same folders as the TAP's file calls see them.
constexpr const char* SettingsDir = "/ProgramFiles/Settings/orvado/";
constexpr const char* MediaTmpDir = "/MediaFiles/tmp/";
constexpr const char* ProgramsDir = "/ProgramFiles/";
