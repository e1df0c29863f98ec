#include "json.h"
#include <gtest/gtest.h>
TEST(Json, Smoke) { tavolex::JsonValue v; EXPECT_EQ(tavolex::ParseJson(v, "{\"a\":1}"), tavolex::JsonStatus::Ok); }
