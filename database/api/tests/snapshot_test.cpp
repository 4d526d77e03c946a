#include <gtest/gtest.h>

#include "database/api/QRVServerValue.h"

TEST(ServerValue, TimestampIsOneSharedPlaceholder) {
    const ns::Value& first = QRVServerValue::timestamp();
    EXPECT_EQ(&first, &QRVServerValue::timestamp());
    EXPECT_EQ(first, ns::Value(ns::Dictionary{{".sv", ns::Value("timestamp")}}));
}
