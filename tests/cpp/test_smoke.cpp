#include <gtest/gtest.h>
#include <sstream>
#include "csv/parser.h"
#include "inf.h"
TEST(Smoke, Parses) {
  std::istringstream in("a,b\n1,2\n");
  csv::CsvParser p(in);
  int rows = 0;
  for (const auto& r : p) { EXPECT_EQ(r.size(), 2u); ++rows; }
  EXPECT_EQ(rows, 2);
}
