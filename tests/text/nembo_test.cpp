// isUTFNembo asks the firmware once, with and without its UTF-8 function.
// The look-ups of that function are counted, and hidden on demand, through
// the program's dlsym.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "lib/firmware/fwaccess.h"
#include "lib/text/text.h"
#include "platform/firmware.h"
#include "support/lookup_counter.h"
#include "support/testing.h"

#ifdef ORVADO_COUNTS_LOOKUPS

TEST(IsUTFNembo, FirmwareWithTheFunctionIsUtf8AndAskedOnce) {
  orvado_test::inFreshProcess([] {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    orvado_test::lookups().clear();
    EXPECT_EQ(isUTFNembo(), 1);
    EXPECT_EQ(isUTFNembo(), 1);
    EXPECT_EQ(isUTFNembo(), 1);
    EXPECT_EQ(orvado_test::lookups()[FW_Appl_ConvertToValidUTF8Str], 1);
  });
}

// The first answer lasts, even a 0 and even when the function turns up later.
TEST(IsUTFNembo, FirmwareWithoutTheFunctionIsAskedOnceToo) {
  orvado_test::inFreshProcess([] {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    orvado_test::hiddenSymbols().insert(FW_Appl_ConvertToValidUTF8Str);
    orvado_test::lookups().clear();
    EXPECT_EQ(isUTFNembo(), 0);
    EXPECT_EQ(isUTFNembo(), 0);
    EXPECT_EQ(orvado_test::lookups()[FW_Appl_ConvertToValidUTF8Str], 1);

    orvado_test::hiddenSymbols().clear();
    EXPECT_NE(FIS_fwAppl_ConvertToValidUTF8Str(), nullptr);  // the function is there now
    orvado_test::lookups().clear();
    EXPECT_EQ(isUTFNembo(), 0);
    EXPECT_EQ(orvado_test::lookups()[FW_Appl_ConvertToValidUTF8Str], 0);
  });
}
#endif
