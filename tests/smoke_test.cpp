#include <gtest/gtest.h>
#include "raw/model.h"
TEST(Smoke, ErrorsDebugText) { EXPECT_EQ(spansift::errors_debug_text({{}, {}}), "[JaegerError, JaegerError]"); }
