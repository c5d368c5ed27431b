#include "log/UtilityLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(LogFormat, VersionTextJoinsFourWordsWithoutLeadingZeros)
{
    EXPECT_EQ(L"1.2.3.4", logformat::VersionText(MAKELONG(2, 1), MAKELONG(4, 3)));
    EXPECT_EQ(L"65535.0.10.7", logformat::VersionText(MAKELONG(0, 65535), MAKELONG(7, 10)));
}
