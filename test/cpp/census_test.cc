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
  EXPECT_TRUE(records[0].custom && records[1].custom && !records[2].custom);
  EXPECT_EQ(records[1].count, 100);
}

TEST(Census, RankingKeepsTwentyByCountWithTiesInByteOrder) {
  SummaryTable table;
  for (int i = 0; i < 30; ++i) add(&table, "k" + std::to_string(i), 1 + i % 5);
  // Equal counts: a prefix first, bytes above 0x7F last.
  for (const char* key : {"\xc3\xa9", "zz", "z", "Z"}) add(&table, key, 9);
  std::vector<HeapInfo> records;
  vantarel::append_ranked(&table, &records);
  ASSERT_EQ(records.size(), vantarel::kRankedRecords);
  // Then the six keys of count 5 in key order: k14 k19 k24 k29 k4 k9.
  std::vector<std::string> top = names(records);
  top.resize(10);
  EXPECT_EQ(top, (std::vector<std::string>{"Z", "z", "zz", "\xc3\xa9", "k14",
                                           "k19", "k24", "k29", "k4", "k9"}));
  EXPECT_EQ(records.back().count, 3);
}

TEST(Census, ShortensAtSixtyFourCharactersOfTheLocale) {
  const std::string n63(63, 'a'), n64(64, 'b'), n100(100, 'c');
  EXPECT_EQ(vantarel::shorten_name(n63), n63);
  EXPECT_EQ(vantarel::shorten_name(n64), n64 + "...");
  EXPECT_EQ(vantarel::shorten_name(n100), std::string(64, 'c') + "...");
  std::string e100;
  for (int i = 0; i < 100; ++i) e100 += "\xc3\xa9";  // é
  // The C locale cannot measure these bytes: written whole.
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(vantarel::shorten_name(e100), e100);
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP();
  EXPECT_EQ(vantarel::shorten_name(e100), e100.substr(0, 128) + "...");
  const std::string broken = "aa\xff" + std::string(80, 'a');
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

// Two keys sharing 64 characters stay two records with one written name,
// shortened before the quote in it is escaped.
TEST(Census, ShorteningHappensOnTheWrittenNameOnly) {
  const std::string stem(63, 'x');
  SummaryTable table;
  add(&table, stem + "\"one", 2);
  add(&table, stem + "\"two", 1);
  std::vector<HeapInfo> records;
  vantarel::append_ranked(&table, &records);
  const std::string name = "{\"name\":\"" + stem + "\\\"...\"";
  EXPECT_EQ(vantarel::census_text(records),
            "[" + name + ",\"size\":16,\"count\":2,\"type\":\"SYSTEM\"}," +
                name + ",\"size\":8,\"count\":1,\"type\":\"SYSTEM\"}]");
}

}  // namespace
