#include "transaction_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using zeph::agent::TransactionRecord;

// Writes bytes the way the script reader does: into room(), then kept.
TransactionRecord::Text latin1(TransactionRecord& record,
                               const std::string& bytes) {
  std::memcpy(record.room(bytes.size()), bytes.data(), bytes.size());
  return record.keepLatin1(bytes.size());
}

TEST(TransactionRecord, TextsEndAtNulAndLatin1BecomesUtf8) {
  TransactionRecord record;
  TransactionRecord::Text a = latin1(record, std::string("M\xfcnchen", 7));
  TransactionRecord::Text b =
      latin1(record, std::string("ab\xe9\0\xff", 5) + std::string(12, 'x'));
  TransactionRecord::Text c =
      latin1(record, std::string("0123456789\xe9\x80\x7f", 13));
  std::memcpy(record.room(6), "x\xc3\xa9\0yz", 6);
  TransactionRecord::Text d = record.keepUtf8(6);
  TransactionRecord::Text e = record.add(std::string("k\0v", 3));
  EXPECT_EQ(record.view(a), "M\xc3\xbcnchen");
  EXPECT_EQ(record.view(b), "ab\xc3\xa9");
  EXPECT_EQ(record.view(c), "0123456789\xc3\xa9\xc2\x80\x7f");
  EXPECT_EQ(record.view(d), "x\xc3\xa9");
  // Texts made in C++ are kept whole.
  EXPECT_EQ(record.view(e), std::string("k\0v", 3));

  record.clear();
  TransactionRecord::Text f = record.add("fresh");
  EXPECT_EQ(f.begin, 0u) << "a cleared record starts its buffer again";
  EXPECT_EQ(record.view(f), "fresh");
}

TEST(TransactionRecord, MapsSortByteWiseAndTheLastOfEqualKeysStays) {
  TransactionRecord record;
  auto entry = [&](const char* key, const char* value) {
    TransactionRecord::Text v = record.add(value);
    record.addEntry(record.add(key), v);
  };
  record.startMap(TransactionRecord::kHeaders);
  entry("b", "1");
  entry("a", "first");
  entry("\xc3\xa9", "2");
  entry("10", "3");
  entry("a", "second");
  entry("B", "4");
  entry("9", "5");
  entry("a", "last");
  record.endMap(TransactionRecord::kHeaders);
  record.startMap(TransactionRecord::kUserData);
  record.endMap(TransactionRecord::kUserData);

  std::string keys;
  for (auto* e = record.begin(TransactionRecord::kHeaders);
       e != record.end(TransactionRecord::kHeaders); ++e) {
    keys += std::string(record.view(e->key)) + "=" +
            std::string(record.view(e->value)) + " ";
  }
  EXPECT_EQ(keys, "10=3 9=5 B=4 a=last b=1 \xc3\xa9=2 ");
  EXPECT_TRUE(record.empty(TransactionRecord::kUserData));
  EXPECT_TRUE(record.empty(TransactionRecord::kCookies)) << "never started";
}

}  // namespace
