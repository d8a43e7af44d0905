// Firmware symbols found by name: caching, late arrival, fixed results.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "lib/firmware/fwaccess.h"
#include "support/lookup_counter.h"
#include "support/testing.h"

using namespace orvado_test;

#ifdef ORVADO_COUNTS_LOOKUPS
TEST(Resolve, FoundSymbolIsCachedMissingOneIsAskedAgain) {
  inFreshProcess([] {
    emu::Config c = virtualConfig();
    c.leaveOut = {FW_Appl_StartPlayback};
    freshReceiver(c);
    orvado_test::lookups().clear();

    void* map = FIS_vOsdMap();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map, emu::regionTable());
    EXPECT_EQ(FIS_vOsdMap(), map);
    EXPECT_EQ(FIS_vOsdMap(), map);
    EXPECT_EQ(orvado_test::lookups()[FW_osdInfo], 1) << "a found symbol is looked up once";

    EXPECT_EQ(FIS_fwAppl_StartPlayback(), nullptr);
    EXPECT_EQ(Appl_StartPlayback("Stream.ts", 0, true, false), -1);
    EXPECT_EQ(Appl_StartPlayback("Stream.ts", 0, true, false), -1);
    EXPECT_EQ(orvado_test::lookups()[FW_Appl_StartPlayback], 3) << "a missing symbol is looked up on every call";

    // A library loaded later with global scope brings the symbol.
    std::string error;
    ASSERT_TRUE(emu::offerFirmwareSymbol(FW_Appl_StartPlayback, &error)) << error;
    void* found = FIS_fwAppl_StartPlayback();
    EXPECT_NE(found, nullptr);
    EXPECT_EQ(found, dlsym(RTLD_DEFAULT, FW_Appl_StartPlayback));
  });
}
#endif

TEST(Resolve, TryResolveAnswersNullForUnknownNames) {
  inFreshProcess([] {
    freshReceiver(virtualConfig());
    EXPECT_EQ(TryResolve("_Z12NoSuchThingv"), nullptr);
    EXPECT_EQ(TryResolve(nullptr), nullptr);
    EXPECT_NE(TryResolve(FW_tapTask), nullptr);
    // A stale loader error must not make a later look-up fail.
    dlopen("/nonexistent/library.so", RTLD_LAZY);
    EXPECT_NE(TryResolve(FW_curTapTask), nullptr);
  });
}

TEST(Resolve, RecordsAreTheFirmwaresOwn) {
  inFreshProcess([] {
    emu::Config c = virtualConfig();
    c.tapSlot = 5;
    freshReceiver(c);
    ASSERT_NE(FIS_vTAPTable(), nullptr);
    EXPECT_EQ(FIS_vTAPTable(), emu::tapTable());
    ASSERT_NE(FIS_vCurTapTask(), nullptr);
    EXPECT_EQ(*FIS_vCurTapTask(), 5);
    EXPECT_EQ(TAP_TableIndex, -1);
    EXPECT_EQ(InitTAPex(), 1);
    EXPECT_EQ(TAP_TableIndex, 5);
    EXPECT_EQ(ApplID, 0x1E);
    EXPECT_EQ(LibInitialized, 1);
    emu::curTapTask() = 7;
    EXPECT_EQ(InitTAPex(), 1);
    EXPECT_EQ(TAP_TableIndex, 5) << "InitTAPex fills the index once";
  });
}

TEST(Resolve, WrappersGiveFixedResultsWithoutTheFirmware) {
  inFreshProcess([] {
    emu::Config c = virtualConfig();
    c.leaveOut = {FW_ApplHdd_RestoreWorkFolder,
                  FW_ApplHdd_SaveWorkFolder,
                  FW_ApplHdd_SelectFolder,
                  FW_ApplHdd_SetWorkFolder,
                  FW_Appl_StartPlayback,
                  FW_Appl_StartPlaybackMedia,
                  FW_Appl_ConvertToValidUTF8Str,
                  FW_osdInfo,
                  FW_tapTask,
                  FW_curTapTask};
    freshReceiver(c);
    uint32_t folder[4] = {FW_FolderRecordMarker, 0, 0, 0};
    ApplHdd_SaveWorkFolder();
    EXPECT_EQ(ApplHdd_SelectFolder(folder, "mnt/hd/MediaFiles"), 0);
    ApplHdd_SetWorkFolder(folder);
    EXPECT_EQ(Appl_StartPlayback("Stream.ts", 0, true, false), -1);
    EXPECT_EQ(Appl_StartPlaybackMedia("Stream.ts", 0, true, false), 1);
    ApplHdd_RestoreWorkFolder();
    EXPECT_EQ(FIS_vOsdMap(), nullptr);
    EXPECT_EQ(FIS_vTAPTable(), nullptr);
    EXPECT_EQ(FIS_vCurTapTask(), nullptr);
    EXPECT_EQ(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr);
    EXPECT_EQ(InitTAPex(), 1);
    EXPECT_EQ(TAP_TableIndex, -1);
    EXPECT_FALSE(emu::playing());
  });
}
