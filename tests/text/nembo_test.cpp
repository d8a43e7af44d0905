// isUTFNembo asks the firmware once, with and without its UTF-8 function.
// Every dlsym of this program passes through the interposer below, which
// counts the look-ups of that function and, on demand, answers as a firmware
// without it would.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "lib/firmware/fwaccess.h"
#include "lib/text/text.h"
#include "platform/firmware.h"
#include "support/testing.h"

static int g_convertLookups = 0;
static bool g_hideConvert = false;

extern "C" void* dlsym(void* handle, const char* name) noexcept {
  using Real = void* (*)(void*, const char*);
  static Real real = [] {
    Real r = reinterpret_cast<Real>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34"));
    if (!r) r = reinterpret_cast<Real>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5"));
    return r;
  }();
  if (name && std::strcmp(name, FW_Appl_ConvertToValidUTF8Str) == 0) {
    g_convertLookups++;
    if (g_hideConvert) return nullptr;
  }
  return real(handle, name);
}

TEST(IsUTFNembo, FirmwareWithTheFunctionIsUtf8AndAskedOnce) {
  orvado_test::inFreshProcess([] {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    g_convertLookups = 0;
    EXPECT_EQ(isUTFNembo(), 1);
    EXPECT_EQ(isUTFNembo(), 1);
    EXPECT_EQ(isUTFNembo(), 1);
    EXPECT_EQ(g_convertLookups, 1);
  });
}

// The first answer lasts, even a 0 and even when the function turns up later.
TEST(IsUTFNembo, FirmwareWithoutTheFunctionIsAskedOnceToo) {
  orvado_test::inFreshProcess([] {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    g_hideConvert = true;
    g_convertLookups = 0;
    EXPECT_EQ(isUTFNembo(), 0);
    EXPECT_EQ(isUTFNembo(), 0);
    EXPECT_EQ(g_convertLookups, 1);

    g_hideConvert = false;
    EXPECT_NE(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr);  // the function is there now
    g_convertLookups = 0;
    EXPECT_EQ(isUTFNembo(), 0);
    EXPECT_EQ(g_convertLookups, 0);
  });
}
