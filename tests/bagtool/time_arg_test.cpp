// Times on the command line: offsets, Unix times and local dates, and the
// texts that are none of them.
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "bagtool/time_arg.h"

using rnr::bagtool::parse_time_arg;
using rnr::bagtool::resolve_time;

TEST(TimeArgTest, OffsetsUnixTimesAndLocalDates) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const auto offset = parse_time_arg("12.25");
  ASSERT_TRUE(offset);
  EXPECT_FALSE(offset->absolute);
  EXPECT_EQ(resolve_time(*offset, 1000), 1000 + 12250000000);
  EXPECT_EQ(parse_time_arg("0.000000001")->ns, 1);

  const auto unix_time = parse_time_arg("@1700000000.5");
  ASSERT_TRUE(unix_time);
  EXPECT_TRUE(unix_time->absolute);
  EXPECT_EQ(resolve_time(*unix_time, 5), 1700000000500000000);

  // 2023-11-14 23:13:20 in Berlin (UTC+1) is 1700000000; with the zone that
  // info prints, or another, the offset given counts.
  for (const char* text : {"2023-11-14 23:13:20.5", "2023-11-14T23:13:20.500",
                           "2023-11-14 23:13:20.500 +0100", "2023-11-14 22:13:20.500 +0000",
                           "2023-11-14 16:43:20.5 -05:30", "2023-11-14T22:13:20.5Z"}) {
    const auto date = parse_time_arg(text);
    ASSERT_TRUE(date) << text;
    EXPECT_TRUE(date->absolute);
    EXPECT_EQ(date->ns, 1700000000500000000) << text;
  }

  for (const char* bad :
       {"", "-1", "1.", ".5", "1e3", "1.0000000001", "12s", "@", "@-5", "2024-02-30 12:00:00",
        "2024-05-01 25:00:00", "2024-05-01 12:00", "2024-05-01 12:00:00.", "99999999999",
        "2024-05-01 12:00:00 +2400", "2024-05-01 12:00:00 +01", "2024-05-01 12:00:00 x0100"}) {
    EXPECT_FALSE(parse_time_arg(bad)) << bad;
  }
}
