#include "census.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace {

using vantarel::HeapInfo;
using vantarel::SummaryTable;

void add(SummaryTable* table, const std::string& key, int count,
         uint64_t size = 8) {
  for (int i = 0; i < count; ++i) {
    vantarel::count_node(table, vantarel::kCensusObject, key, size);
  }
}

std::vector<std::string> names(const std::vector<HeapInfo>& records) {
  std::vector<std::string> out;
  for (const HeapInfo& record : records) out.push_back(record.name);
  return out;
}

TEST(Census, KeysMarkStringsAndRegularExpressions) {
  EXPECT_EQ(vantarel::census_key(vantarel::kCensusString, "GET"), "\"GET\"");
  EXPECT_EQ(vantarel::census_key(vantarel::kCensusString, ""), "\"\"");
  EXPECT_EQ(vantarel::census_key(vantarel::kCensusRegExp, "^a$"), "/^a$/");
  EXPECT_EQ(vantarel::census_key(vantarel::kCensusObject, "Cart"), "Cart");
  EXPECT_TRUE(vantarel::counted_type(2) && vantarel::counted_type(3) &&
              vantarel::counted_type(6));
  for (int type : {0, 1, 4, 5, 7, 8, 9, 10, 11, 12, 13}) {
    EXPECT_FALSE(vantarel::counted_type(type)) << type;
  }
}

TEST(Census, CountingAddsSizesAndKeepsTheLatestType) {
  SummaryTable table;
  vantarel::count_node(&table, 3, "x", 10);
  vantarel::count_node(&table, 2, "x", 5000000000ull);
  ASSERT_EQ(table.size(), 1u);
  const HeapInfo& info = table.at("x");
  EXPECT_EQ(info.name, "x");
  EXPECT_EQ(info.count, 2);
  EXPECT_EQ(info.size, 5000000010ull);
  EXPECT_EQ(info.type, 2);
  EXPECT_FALSE(info.custom);
}

TEST(Census, RequestedKeysComeFirstOnceAndLeaveTheRanking) {
  SummaryTable table;
  add(&table, "Big", 100);
  add(&table, "Small", 1);
  add(&table, "Mid", 50);
  std::vector<HeapInfo> records;
  for (const char* key : {"Small", "Nowhere", "Big", "Small", "\"Big\""}) {
    vantarel::take_requested(&table, key, &records);
  }
  vantarel::append_ranked(&table, &records);
  EXPECT_EQ(names(records), (std::vector<std::string>{"Small", "Big", "Mid"}));
  EXPECT_TRUE(records[0].custom && records[1].custom);
  EXPECT_FALSE(records[2].custom);
  EXPECT_EQ(records[1].count, 100);
  EXPECT_TRUE(table.empty());
}

TEST(Census, RankingKeepsTwentyByCountWithTiesInByteOrder) {
  SummaryTable table;
  for (int i = 0; i < 30; ++i) add(&table, "k" + std::to_string(i), 1 + i % 5);
  // Equal counts: byte order, a prefix first, bytes above 0x7F last.
  add(&table, "\xc3\xa9", 9);
  add(&table, "zz", 9);
  add(&table, "z", 9);
  add(&table, "Z", 9);
  std::vector<HeapInfo> records;
  vantarel::append_ranked(&table, &records);
  ASSERT_EQ(records.size(), vantarel::kRankedRecords);
  EXPECT_EQ(names(records)[0], "Z");
  EXPECT_EQ(names(records)[1], "z");
  EXPECT_EQ(names(records)[2], "zz");
  EXPECT_EQ(names(records)[3], "\xc3\xa9");
  // Then the six keys of count 5, in key order: k14 k19 k24 k29 k4 k9.
  EXPECT_EQ(names(records)[4], "k14");
  EXPECT_EQ(names(records)[9], "k9");
  for (size_t i = 1; i < records.size(); ++i) {
    EXPECT_GE(records[i - 1].count, records[i].count);
  }
}

TEST(Census, ShortensAtSixtyFourCharacters) {
  const std::string n63(63, 'a'), n64(64, 'b'), n100(100, 'c');
  EXPECT_EQ(vantarel::shorten_name(""), "");
  EXPECT_EQ(vantarel::shorten_name(n63), n63);
  EXPECT_EQ(vantarel::shorten_name(n64), n64 + "...");
  EXPECT_EQ(vantarel::shorten_name(n100), std::string(64, 'c') + "...");
}

TEST(Census, ShorteningCountsCharactersOfTheLocale) {
  std::string e100;
  for (int i = 0; i < 100; ++i) e100 += "\xc3\xa9";  // é
  // In the C locale the bytes cannot be measured: written whole.
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(vantarel::shorten_name(e100), e100);
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP();
  EXPECT_EQ(vantarel::shorten_name(e100), e100.substr(0, 128) + "...");
  EXPECT_EQ(vantarel::shorten_name(e100.substr(0, 126)), e100.substr(0, 126));
  // A broken sequence before the 64th character stops the measuring.
  const std::string broken =
      std::string(10, 'a') + "\xff" + std::string(80, 'a');
  EXPECT_EQ(vantarel::shorten_name(broken), broken);
  std::setlocale(LC_ALL, "C");
}

TEST(Census, EscapingAlwaysGivesAJsonString) {
  std::string out;
  vantarel::append_escaped(&out, "q\"b\\n\nr\rt\t\x01\x1f\x7f\xc3\xa9/");
  EXPECT_EQ(out, "q\\\"b\\\\n\\nr\\rt\\u0009\\u0001\\u001F\x7f\xc3\xa9/");
}

TEST(Census, TextOfTheReferenceExample) {
  SummaryTable table;
  add(&table, "Customer", 120, 64);
  add(&table, "Object", 2400, 48);
  for (int i = 0; i < 3; ++i) {
    vantarel::count_node(&table, vantarel::kCensusString,
                         vantarel::census_key(vantarel::kCensusString, "GET"),
                         32);
  }
  vantarel::count_node(
      &table, vantarel::kCensusRegExp,
      vantarel::census_key(vantarel::kCensusRegExp, "^[0-9]+$"), 64);
  std::vector<HeapInfo> records;
  vantarel::take_requested(&table, "Customer", &records);
  vantarel::take_requested(&table, "Cart", &records);
  vantarel::append_ranked(&table, &records);
  EXPECT_EQ(vantarel::census_text(records),
            "[{\"name\":\"Customer\",\"size\":7680,\"count\":120,\"type\":"
            "\"CUSTOM\"},{\"name\":\"Object\",\"size\":115200,\"count\":2400,"
            "\"type\":\"SYSTEM\"},{\"name\":\"\\\"GET\\\"\",\"size\":96,"
            "\"count\":3,\"type\":\"SYSTEM\"},{\"name\":\"/^[0-9]+$/\","
            "\"size\":64,\"count\":1,\"type\":\"SYSTEM\"}]");
  EXPECT_EQ(vantarel::census_text({}), "[]");
}

TEST(Census, ShorteningHappensBeforeEscapingAndNotOnKeys) {
  // Two keys sharing 64 characters stay two records with one written name.
  const std::string stem(63, 'x');
  SummaryTable table;
  add(&table, stem + "\"one", 2);
  add(&table, stem + "\"two", 1);
  std::vector<HeapInfo> records;
  vantarel::append_ranked(&table, &records);
  EXPECT_EQ(vantarel::census_text(records),
            "[{\"name\":\"" + stem +
                "\\\"...\",\"size\":16,\"count\":2,"
                "\"type\":\"SYSTEM\"},{\"name\":\"" +
                stem +
                "\\\"...\",\"size\":8,"
                "\"count\":1,\"type\":\"SYSTEM\"}]");
}

}  // namespace
