// The TAP interface as the firmware exports it: one pointer per call, filled
// by the parts of the core at reset.
#include "platform/tap.h"

extern "C" {
int (*TAP_Osd_Create)(uint32_t, uint32_t, uint32_t, uint32_t, uint8_t, int) = nullptr;
int (*TAP_Osd_Delete)(uint16_t) = nullptr;
void (*TAP_Osd_Sync)(void) = nullptr;
int (*TAP_Osd_FillBox)(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) = nullptr;
int (*TAP_Osd_PutGd)(uint16_t, int, int, const TYPE_GrData*, bool) = nullptr;
int (*TAP_Osd_PutS)(uint16_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, uint32_t, uint8_t, uint8_t, uint8_t,
                    uint8_t) = nullptr;
int (*TAP_Osd_GetW)(const char*, uint8_t, uint8_t) = nullptr;
int (*TAP_Osd_Copy)(uint16_t, uint16_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, bool) = nullptr;
uint32_t* (*TAP_Osd_SaveBox)(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t) = nullptr;
void (*TAP_Osd_RestoreBox)(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t, const uint32_t*) = nullptr;

void (*TAP_GetState)(uint32_t*, uint32_t*) = nullptr;
void (*TAP_EnterNormal)(void) = nullptr;
void (*TAP_ExitNormal)(void) = nullptr;
void (*TAP_Exit)(void) = nullptr;
uint32_t (*TAP_GetTick)(void) = nullptr;
void (*TAP_Delay)(uint32_t) = nullptr;
void (*TAP_Sleep)(uint32_t) = nullptr;
int (*TAP_GetTime)(uint16_t*, uint8_t*, uint8_t*, uint8_t*) = nullptr;
void (*TAP_ExtractMjd)(uint16_t, uint16_t*, uint8_t*, uint8_t*, uint8_t*) = nullptr;
uint32_t (*TAP_GetSystemId)(void) = nullptr;
uint32_t (*TAP_GetVersion)(void) = nullptr;

void* (*TAP_MemAlloc)(uint32_t) = nullptr;
int (*TAP_MemFree)(const void*) = nullptr;
void (*TAP_MemSet)(void*, uint8_t, uint32_t) = nullptr;
void (*TAP_MemCpy)(void*, const void*, uint32_t) = nullptr;
int (*TAP_MemCmp)(const void*, const void*, uint32_t) = nullptr;
int (*TAP_SPrint)(char*, const char*, ...) = nullptr;
int (*TAP_Print)(const char*, ...) = nullptr;

int (*TAP_Hdd_ChangeDir)(const char*) = nullptr;
int (*TAP_Hdd_Exist)(const char*) = nullptr;
int (*TAP_Hdd_Delete)(const char*) = nullptr;
TYPE_File* (*TAP_Hdd_Fopen)(const char*) = nullptr;
uint32_t (*TAP_Hdd_Flen)(TYPE_File*) = nullptr;
uint32_t (*TAP_Hdd_Fread)(void*, uint32_t, uint32_t, TYPE_File*) = nullptr;
void (*TAP_Hdd_Fclose)(TYPE_File*) = nullptr;
int (*TAP_Hdd_GetPlayInfo)(TYPE_PlayInfo*) = nullptr;
int (*TAP_Hdd_StopTs)(void) = nullptr;
}
