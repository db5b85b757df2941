#include "flat_transaction.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using zeph::agent::TransactionRecord;

// The slots and texts of one transaction, as the script reader writes them.
template <typename String>
struct Flat {
  std::vector<uint32_t> slots;
  String texts;
  void number(uint32_t n) { slots.push_back(n); }
  void text(const String& t) {
    slots.push_back(static_cast<uint32_t>(t.size()));
    texts += t;
  }
  bool read(TransactionRecord* record) const {
    return vantarel::read_flat_transaction(slots.data(), slots.size(),
                                           texts.data(), texts.size(), record);
  }
};

template <typename String>
Flat<String> example(const String& odd) {
  using Char = typename String::value_type;
  auto s = [](const char* ascii) {
    String out;
    for (; *ascii; ++ascii) out += static_cast<Char>(*ascii);
    return out;
  };
  Flat<String> f;
  f.number(1);
  f.number(0x80000000u);
  f.text(s("NORMAL"));
  f.text(odd);
  f.text(s("/checkout"));
  f.number(42);
  f.text(s("req"));
  f.text(s("123"));
  f.number(2);
  for (uint32_t i = 0; i < 2; ++i) {
    f.number(i);
    f.number(10 + i);
    f.number(20 + i);
    f.text(i == 0 ? s("HTTP") : odd);
  }
  f.text(s("sess"));
  f.text(String());
  f.text(s("/u"));
  for (int m = 0; m < TransactionRecord::kMapCount; ++m) {
    if (m != TransactionRecord::kHeaders) {
      f.number(0);
      continue;
    }
    f.number(3);
    f.text(s("1"));  // value, then key
    f.text(s("b"));
    f.text(odd);
    f.text(s("a"));
    f.text(s("2"));
    f.text(s("b"));
  }
  return f;
}

void expect_example(const TransactionRecord& r, const std::string& odd) {
  EXPECT_TRUE(r.entryPoint);
  EXPECT_EQ(r.transactionTime, INT32_MIN);
  EXPECT_EQ(r.view(r.requestExperience), "NORMAL");
  EXPECT_EQ(r.view(r.clientRequestGUID), odd);
  EXPECT_EQ(r.view(r.transactionName), "/checkout");
  EXPECT_EQ(r.transactionId, 42);
  EXPECT_EQ(r.view(r.requestGUID), "req");
  EXPECT_EQ(r.view(r.eventTimestamp), "123");
  ASSERT_EQ(r.exitCalls.size(), 2u);
  EXPECT_EQ(r.exitCalls[1].numberOfErrors, 1u);
  EXPECT_EQ(r.exitCalls[1].numberOfCalls, 11u);
  EXPECT_EQ(r.exitCalls[1].avgResponseTimeMillis, 21u);
  EXPECT_EQ(r.view(r.exitCalls[0].exitCallType), "HTTP");
  EXPECT_EQ(r.view(r.exitCalls[1].exitCallType), odd);
  EXPECT_EQ(r.view(r.sessionId), "sess");
  EXPECT_EQ(r.view(r.principal), "");
  EXPECT_EQ(r.view(r.url), "/u");
  // Sorted, and the last of equal keys stays.
  const TransactionRecord::Entry* e = r.begin(TransactionRecord::kHeaders);
  ASSERT_EQ(r.end(TransactionRecord::kHeaders) - e, 2);
  EXPECT_EQ(r.view(e[0].key), "a");
  EXPECT_EQ(r.view(e[0].value), odd);
  EXPECT_EQ(r.view(e[1].key), "b");
  EXPECT_EQ(r.view(e[1].value), "2");
  EXPECT_TRUE(r.empty(TransactionRecord::kUserData));
}

TEST(FlatTransaction, Latin1TextsBecomeUtf8AndEndAtNul) {
  TransactionRecord record;
  ASSERT_TRUE(example(std::string("M\xfcnchen\0x", 9)).read(&record));
  expect_example(record, "M\xc3\xbcnchen");
}

TEST(FlatTransaction, Utf16TextsPairSurrogatesWithinOneTextOnly) {
  TransactionRecord record;
  // A pair, a lone low and a lone high surrogate, then a NUL that cuts.
  std::u16string odd = u"\u00e9\u4e2d\U0001F600\xDC00x\xD800";
  ASSERT_TRUE(example(odd + std::u16string(1, u'\0') + u"cut").read(&record));
  expect_example(
      record, "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\xef\xbf\xbdx\xef\xbf\xbd");

  // A high surrogate ending one text and a low one starting the next stay
  // two replacements.
  Flat<std::u16string> f = example(std::u16string(u"\xD800"));
  record.clear();
  ASSERT_TRUE(f.read(&record));
  EXPECT_EQ(record.view(record.clientRequestGUID), "\xef\xbf\xbd");
}

TEST(FlatTransaction, AsciiTextsKeptAsOneAreSlicedWithoutCopies) {
  Flat<std::string> f = example(std::string("plain"));
  TransactionRecord record;
  std::memcpy(record.room(f.texts.size()), f.texts.data(), f.texts.size());
  TransactionRecord::Text kept;
  ASSERT_TRUE(record.keepAscii(f.texts.size(), &kept));
  ASSERT_TRUE(vantarel::read_flat_transaction(f.slots.data(), f.slots.size(),
                                              kept, &record));
  expect_example(record, "plain");
  EXPECT_EQ(record.requestExperience.begin, kept.begin)
      << "the first text is the start of the kept one, not a copy";

  // A NUL or a byte from 0x80 up needs the copying path.
  for (const std::string& bytes :
       {std::string("abcdefgh\xe9", 9), std::string("abcdefghij\0k", 12)}) {
    TransactionRecord other;
    std::memcpy(other.room(bytes.size()), bytes.data(), bytes.size());
    EXPECT_FALSE(other.keepAscii(bytes.size(), &kept)) << bytes;
  }
}

TEST(FlatTransaction, SlotsThatDoNotDescribeTheTextsAreRefused) {
  Flat<std::string> good = example(std::string("x"));
  TransactionRecord record;
  auto refused = [&](Flat<std::string> f) {
    record.clear();
    return !f.read(&record);
  };
  Flat<std::string> f = good;
  f.slots.pop_back();
  EXPECT_TRUE(refused(f)) << "too few slots";
  f = good;
  f.slots.push_back(0);
  EXPECT_TRUE(refused(f)) << "a slot left over";
  f = good;
  f.texts += 'x';
  EXPECT_TRUE(refused(f)) << "a character left over";
  f = good;
  f.slots[2] = 1000;
  EXPECT_TRUE(refused(f)) << "a text beyond the texts";
  f = good;
  f.slots[8] = 0xFFFFFFFFu;
  EXPECT_TRUE(refused(f)) << "more exit calls than slots";
  EXPECT_TRUE(refused(Flat<std::string>())) << "nothing";
}

}  // namespace
