#include "analytics_collector.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "refusing_memory.h"

namespace {

using zeph::agent::AnalyticsCollector;
using StringMap = AnalyticsCollector::StringMap;

std::time_t fake_now = 1000;
std::time_t fake_clock(std::time_t* out) {
  if (out) *out = fake_now;
  return fake_now;
}

std::vector<std::string> delivered;
bool keep_batch(const char* batch) {
  delivered.emplace_back(batch);
  return true;
}
bool refuse_batch(const char* batch) {
  delivered.emplace_back(batch);
  return false;
}

struct Record {
  AnalyticsCollector::TransactionContext context;
  std::list<AnalyticsCollector::ExitCall> exitCalls;
  AnalyticsCollector::HttpData httpData;
  StringMap userData;
  AnalyticsCollector::TransactionInfo info() const {
    return {context, exitCalls, httpData, userData};
  }
};

std::unique_ptr<AnalyticsCollector> make_collector(
    std::size_t limit = AnalyticsCollector::kNoBatchLimit) {
  auto identity = std::make_unique<AnalyticsCollector::AgentIdentity>(
      AnalyticsCollector::AgentIdentity{"7", "storefront", "12", "web", "31",
                                        "web-1"});
  return std::make_unique<AnalyticsCollector>(std::move(identity), fake_clock,
                                              limit);
}

std::string build(const Record& record) {
  std::string text;
  make_collector()->buildTransactionJson(text, record.info());
  return text;
}

// The printed headers member, without white space ("" when absent).
std::string headers_of(const StringMap& headers) {
  Record record;
  record.httpData.headers = headers;
  std::string text = build(record);
  std::size_t begin = text.find("\"headers\"");
  if (begin == std::string::npos) return "";
  std::string out;
  for (char c : text.substr(begin, text.rfind("\n            }") - begin)) {
    if (c != ' ' && c != '\n') out += c;
  }
  return out;
}

TEST(EventDocument, WorkedExample) {
  Record record;
  record.context = {"1449532800123", "req-7f3a", 42,  "/checkout", "",
                    "NORMAL",        154,        true};
  record.exitCalls = {{"HTTP", 35, 2, 0}, {"DB", 4, 6, 1}};
  record.httpData.url = "/checkout?step=2";
  record.httpData.sessionId = "s-19";
  record.httpData.uriPathSegments = {{"0", "checkout"}};
  record.httpData.parameters = {{"step", "2"}};
  record.httpData.headers = {{"content-type", "text/html"}, {"accept", "*/*"}};
  record.userData = {{"customerTier", "gold"}, {"cart.items", "3"}};
  const char* expected = R"JSON({
    "eventTimestamp": "1449532800123",
    "applicationId": "7",
    "application": "storefront",
    "requestGUID": "req-7f3a",
    "transactionName": "\/checkout",
    "transactionId": "42",
    "segments": [
        {
            "segmentTimestamp": "1449532800123",
            "tierId": "12",
            "tier": "web",
            "nodeId": "31",
            "node": "web-1",
            "requestExperience": "NORMAL",
            "transactionTime": "154",
            "entryPoint": "true",
            "clientRequestGUID": "",
            "exitCalls": [
                {
                    "exitCallType": "HTTP",
                    "avgResponseTimeMillis": "35",
                    "numberOfCalls": "2",
                    "numberOfErrors": "0"
                },
                {
                    "exitCallType": "DB",
                    "avgResponseTimeMillis": "4",
                    "numberOfCalls": "6",
                    "numberOfErrors": "1"
                }
            ],
            "httpData": {
                "url": "\/checkout?step=2",
                "principal": "",
                "sessionId": "s-19",
                "uriPathSegments": {
                    "0": "checkout"
                },
                "parameters": {
                    "step": "2"
                },
                "headers": {
                    "accept": "*\/*",
                    "content-type": "text\/html"
                }
            },
            "userData": {
                "cart": {
                    "items": "3"
                },
                "customerTier": "gold"
            }
        }
    ]
}
)JSON";
  EXPECT_EQ(build(record), expected);
}

TEST(EventDocument, EmptyListsAndMapsAreLeftOutAndNumbersAreText) {
  Record record;
  record.context.transactionId = -5;
  record.exitCalls = {{"", 0, 0, 4294967295u}};
  std::string text = build(record);
  EXPECT_NE(text.find("\"transactionId\": \"-5\""), std::string::npos);
  EXPECT_NE(text.find("\"entryPoint\": \"false\""), std::string::npos);
  EXPECT_NE(text.find("\"exitCallType\": \"\""), std::string::npos);
  EXPECT_NE(text.find("\"numberOfErrors\": \"4294967295\""), std::string::npos);
  // httpData is the segment's last member, with just its three texts.
  EXPECT_NE(text.find("            \"httpData\": {\n"
                      "                \"url\": \"\",\n"
                      "                \"principal\": \"\",\n"
                      "                \"sessionId\": \"\"\n"
                      "            }\n"
                      "        }\n"
                      "    ]\n"
                      "}\n"),
            std::string::npos);
  EXPECT_EQ(text.find("userData"), std::string::npos);
  EXPECT_EQ(text.find("{}"), std::string::npos);

  record.exitCalls.clear();
  EXPECT_EQ(build(record).find("exitCalls"), std::string::npos);
}

TEST(EventDocument, EscapesPerByte) {
  Record record;
  record.context.transactionName = "q\"b\\s/t\tdel\x7f";
  record.context.requestGUID = "\xc3\xa9";
  record.context.eventTimestamp = std::string("\b\f\n\r\x01\x1f\xff\0x", 9);
  record.httpData.headers = {{"k\"/", "v"}};
  std::string text = build(record);
  EXPECT_NE(text.find(R"("transactionName": "q\"b\\s\/t\u0009del)"
                      "\x7f\""),
            std::string::npos);
  EXPECT_NE(text.find(R"("requestGUID": "\u00C3\u00A9")"), std::string::npos);
  EXPECT_NE(
      text.find(R"("eventTimestamp": "\b\f\n\r\u0001\u001F\u00FF\u0000x")"),
      std::string::npos);
  EXPECT_NE(text.find(R"("k\"\/": "v")"), std::string::npos);
}

TEST(EventDocument, MapKeysInByteOrderAndDottedKeysNest) {
  EXPECT_EQ(headers_of({{"a", "4"}, {"Z", "3"}, {"9", "2"}, {"10", "1"}}),
            R"("headers":{"10":"1","9":"2","Z":"3","a":"4"})");
  EXPECT_EQ(headers_of({{"a.b.c", "v"}, {"x.1", "p"}, {"x.2", "q"}}),
            R"("headers":{"a":{"b":{"c":"v"}},"x":{"1":"p","2":"q"}})");
  // Pieces that are empty become members with the empty key, and a node
  // whose members all have it prints as an array.
  EXPECT_EQ(headers_of({{".b", "v"}}), R"("headers":[{"b":"v"}])");
  EXPECT_EQ(headers_of({{"a..b", "v"}}), R"("headers":{"a":[{"b":"v"}]})");
}

TEST(EventDocument, UnplaceableEntriesAreLeftOut) {
  EXPECT_EQ(headers_of({{"sess", "abc"}, {"sess.sig", "xyz"}, {"t", "1"}}),
            R"("headers":{"sess":"abc","t":"1"})");
  EXPECT_EQ(headers_of({{"a", "1"}, {"a.b", "2"}, {"a.b.c", "3"}}),
            R"("headers":{"a":"1"})");
  // An empty value gives way to children.
  EXPECT_EQ(headers_of({{"a", ""}, {"a.b", "2"}}),
            R"("headers":{"a":{"b":"2"}})");
  EXPECT_EQ(headers_of({{"", "e"}, {"x.", "t"}, {"y", "1"}}),
            R"("headers":{"y":"1"})");
  EXPECT_EQ(headers_of({{"", "e"}, {"z.", "t"}}), "");
}

TEST(EventDocument, EachEventPlacesItsOwnMaps) {
  // One collector in turn: the same keys with other values, and with
  // values that turn empty or not, which changes what is left out.
  auto collector = make_collector();
  const StringMap maps[] = {
      {{"a", "1"}, {"a.b", "2"}, {"c", "3"}},
      {{"a", "9"}, {"a.b", "8"}, {"c", "7"}},
      {{"a", ""}, {"a.b", "8"}, {"c", ""}},
      {{"a", "x"}, {"a.b", "y"}, {"c", "z"}},
      {{"a", "1"}, {"c", "3"}},
  };
  for (const StringMap& map : maps) {
    Record record;
    record.httpData.headers = map;
    record.userData = map;
    std::string text;
    collector->buildTransactionJson(text, record.info());
    EXPECT_EQ(text, build(record));
  }
}

TEST(EventDocument, OutputIsReplacedWhole) {
  Record record;
  std::string text = "old";
  make_collector()->buildTransactionJson(text, record.info());
  EXPECT_EQ(text.substr(0, 2), "{\n");
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
}

// The ids of the events of single-digit ids, in delivery order, each batch
// checked to be one array.
std::string single_digit_ids(const std::vector<std::string>& batches) {
  std::string ids;
  for (const std::string& batch : batches) {
    EXPECT_EQ(batch.front(), '[');
    EXPECT_EQ(batch.back(), ']');
    for (std::size_t at = 0;
         (at = batch.find("\"transactionId\": \"", at)) != std::string::npos;)
      ids += batch[at += 18];
  }
  return ids;
}

class Reporting : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_now = 1000;
    delivered.clear();
  }
  void record(AnalyticsCollector& collector, int count = 1) {
    Record record;
    for (int i = 0; i < count; ++i) {
      record.context.transactionId = i;
      collector.recordTransaction(record.info());
    }
  }
};

TEST_F(Reporting, NeedsMoreThanThirtySeconds) {
  auto collector = make_collector();
  fake_now = 1040;
  collector->reportTransactions(keep_batch);
  EXPECT_EQ(collector->lastReport(), 1000) << "empty buffer keeps the time";
  EXPECT_TRUE(delivered.empty());

  record(*collector);
  fake_now = 1000 + 30;
  EXPECT_FALSE(collector->reportDue());
  fake_now = 1040;
  collector->reportTransactions(keep_batch);
  EXPECT_EQ(delivered.size(), 1u) << "recorded long after the last report";
  EXPECT_EQ(collector->lastReport(), 1040);

  record(*collector);
  fake_now = 1040 + 30;
  collector->reportTransactions(keep_batch);
  EXPECT_EQ(delivered.size(), 1u);
  EXPECT_EQ(collector->pendingCount(), 1u);
  fake_now = 1040 + 31;
  EXPECT_TRUE(collector->reportDue());
  collector->reportTransactions(keep_batch);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(collector->pendingCount(), 0u);
  EXPECT_EQ(delivered[1].front(), '[');
  EXPECT_EQ(delivered[1].substr(delivered[1].size() - 3), "}\n]");
}

TEST_F(Reporting, AReportNowCountsForTheInterval) {
  auto collector = make_collector();
  collector->reportTransactions(keep_batch, AnalyticsCollector::When::kNow);
  EXPECT_TRUE(delivered.empty()) << "nothing pending";
  record(*collector);
  collector->enabled = false;
  collector->reportTransactions(keep_batch, AnalyticsCollector::When::kNow);
  EXPECT_TRUE(delivered.empty()) << "collection off";
  collector->enabled = true;
  fake_now = 1010;
  EXPECT_TRUE(collector->reportDue(AnalyticsCollector::When::kNow));
  collector->reportTransactions(keep_batch, AnalyticsCollector::When::kNow);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(collector->lastReport(), 1010);
  record(*collector);
  fake_now = 1040;
  EXPECT_FALSE(collector->reportDue()) << "30 s from the forced report";
}

TEST_F(Reporting, MoreThanTenThousandForceAReport) {
  auto collector = make_collector();
  record(*collector, 10000);
  collector->reportTransactions(keep_batch);
  EXPECT_TRUE(delivered.empty());
  record(*collector);
  collector->reportTransactions(keep_batch);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(collector->pendingCount(), 0u);
  // 10001 events in recording order, joined by ", ".
  const std::string& batch = delivered[0];
  std::size_t events = 0, last = 0, at = 0;
  while ((at = batch.find("\"transactionId\": \"", at)) != std::string::npos) {
    at += 18;
    std::size_t id = std::stoul(batch.substr(at));
    EXPECT_EQ(id, events == 10000 ? 0 : events);
    last = id;
    ++events;
  }
  EXPECT_EQ(events, 10001u);
  EXPECT_EQ(last, 0u);
  EXPECT_NE(batch.find("}\n, {\n"), std::string::npos);
}

TEST_F(Reporting, PausedKeepsNothingAndDeliversNothing) {
  auto collector = make_collector();
  record(*collector, 10001);
  collector->enabled = false;
  record(*collector, 5);
  EXPECT_EQ(collector->pendingCount(), 10001u);
  fake_now = 2000;
  EXPECT_FALSE(collector->reportDue());
  collector->reportTransactions(keep_batch);
  EXPECT_TRUE(delivered.empty());
  EXPECT_EQ(collector->lastReport(), 1000);
  collector->enabled = true;
  collector->reportTransactions(keep_batch);
  EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(Reporting, ClockGoingBackwardsLeavesOnlyTheCountRule) {
  auto collector = make_collector();
  record(*collector);
  fake_now = 500;
  collector->reportTransactions(keep_batch);
  fake_now = 1030;
  collector->reportTransactions(keep_batch);
  EXPECT_TRUE(delivered.empty());
  record(*collector, 10000);
  fake_now = 500;
  collector->reportTransactions(keep_batch);
  EXPECT_EQ(delivered.size(), 1u);
  EXPECT_EQ(collector->lastReport(), 500);
}

TEST_F(Reporting, LongBatchesAreSplitInOrder) {
  Record one;
  std::string event;
  make_collector()->buildTransactionJson(event, one.info());
  // Room for exactly two events per array.
  auto collector = make_collector(2 * event.size() + 4);
  record(*collector, 5);
  fake_now = 1031;
  collector->reportTransactions(keep_batch);
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[0].size(), 2 * event.size() + 4);
  EXPECT_EQ(delivered[2].size(), event.size() + 2);
  EXPECT_EQ(single_digit_ids(delivered), "01234");
  EXPECT_EQ(collector->pendingCount(), 0u);
}

TEST_F(Reporting, EventLongerThanAnyBatchIsRefused) {
  Record one;
  std::string event;
  make_collector()->buildTransactionJson(event, one.info());
  auto collector = make_collector(event.size() + 2);
  record(*collector);
  one.context.requestGUID = "x";
  EXPECT_THROW(collector->recordTransaction(one.info()), std::length_error);
  EXPECT_EQ(collector->pendingCount(), 1u);
}

TEST_F(Reporting, AFailedReceiverLeavesTheRestPending) {
  Record one;
  std::string event;
  make_collector()->buildTransactionJson(event, one.info());
  auto collector = make_collector(event.size() + 2);
  record(*collector, 3);
  fake_now = 1031;
  collector->reportTransactions(refuse_batch);
  EXPECT_EQ(delivered.size(), 1u) << "the failed one is handed over";
  EXPECT_EQ(collector->pendingCount(), 2u);
  EXPECT_EQ(collector->lastReport(), 1031);
  fake_now = 1031 + 31;
  collector->reportTransactions(keep_batch);
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_NE(delivered[1].find("\"transactionId\": \"1\""), std::string::npos);
  EXPECT_NE(delivered[2].find("\"transactionId\": \"2\""), std::string::npos);
}

// A batch that could not be made for the receiver (no memory, the engine
// refusing it, a report function that is none) never reached it: its
// events, and those of the arrays after it, are delivered by a later
// report, once each, ahead of what was recorded meanwhile.
TEST_F(Reporting, ABatchNotMadeStaysPending) {
  Record one;
  std::string event;
  make_collector()->buildTransactionJson(event, one.info());
  for (std::size_t limit :
       {AnalyticsCollector::kNoBatchLimit, 2 * event.size() + 4}) {
    delivered.clear();
    fake_now = 1000;
    auto collector = make_collector(limit);
    record(*collector, 5);
    fake_now = 1031;
    int calls = 0;
    const int fail_at = limit == AnalyticsCollector::kNoBatchLimit ? 1 : 2;
    AnalyticsCollector* self = collector.get();
    collector->reportTransactions([&](zeph::agent::TextBlock& batch) {
      if (++calls == fail_at) {
        // What a report function may record before the failure.
        Record late;
        late.context.transactionId = 9;
        self->recordTransaction(late.info());
        return AnalyticsCollector::Handoff::kNotTaken;
      }
      delivered.emplace_back(batch.view());
      return AnalyticsCollector::Handoff::kTaken;
    });
    EXPECT_EQ(collector->lastReport(), fail_at == 1 ? 1000 : 1031)
        << "a report that handed nothing over is no report";
    EXPECT_EQ(collector->pendingCount(), fail_at == 1 ? 6u : 4u);
    collector->reportTransactions(keep_batch, AnalyticsCollector::When::kNow);
    EXPECT_EQ(single_digit_ids(delivered), "012349") << "limit " << limit;
    EXPECT_EQ(collector->pendingCount(), 0u);
  }
}

AnalyticsCollector* reentered = nullptr;
bool record_and_report(const char* batch) {
  delivered.emplace_back(batch);
  Record record;
  reentered->recordTransaction(record.info());
  reentered->reportTransactions(keep_batch);
  return true;
}

TEST_F(Reporting, ReceiverRecordsIntoTheNextBatch) {
  auto collector = make_collector();
  reentered = collector.get();
  record(*collector);
  fake_now = 1031;
  collector->reportTransactions(record_and_report);
  EXPECT_EQ(delivered.size(), 1u) << "the interval just restarted";
  EXPECT_EQ(collector->pendingCount(), 1u);
  EXPECT_EQ(collector->lastReport(), 1031);
}

// The receiver keeps the batch as the script string does, and gives its
// block back when done with it.
zeph::agent::TextBlock kept_batch;
AnalyticsCollector::Handoff keep_block(zeph::agent::TextBlock& batch) {
  kept_batch = std::move(batch);
  return AnalyticsCollector::Handoff::kTaken;
}

TEST_F(Reporting, PendingTextsMoveIntoTheBlockOfADeliveredBatch) {
  auto collector = make_collector();
  for (int i = 0; i < 3; ++i) record(*collector);
  fake_now = 1031;
  collector->reportTransactions(keep_block);
  EXPECT_EQ(kept_batch.view().substr(0, 2), "[{");
  EXPECT_EQ(kept_batch.view().back(), ']');
  const char* block = kept_batch.data();
  record(*collector);
  // Script drops the batch; the engine frees it.
  auto& pool = *collector->textPool();
  pool.keepUpTo(std::size_t{1} << 30);
  pool.lend(kept_batch, true);
  pool.giveBack(std::move(kept_batch), true);
  EXPECT_TRUE(pool.hasSpare());
  record(*collector);
  EXPECT_FALSE(pool.hasSpare());
  fake_now = 1062;
  collector->reportTransactions(keep_block);
  EXPECT_EQ(kept_batch.data(), block) << "the texts were copied into it";
  std::string event;
  collector->buildTransactionJson(event, Record().info());
  EXPECT_EQ(kept_batch.view(), "[" + event + ", " + event + "]");
  EXPECT_EQ(pool.counters().mappedBlocks, 2u) << "one fresh block meanwhile";
  // Nothing pending: a block kept then is let go.
  pool.give(std::move(kept_batch));
  collector->reportTransactions(keep_block);
  EXPECT_FALSE(pool.hasSpare());
}

// Pending texts too long to copy at a record leave the block that came
// back for the next batch.
TEST_F(Reporting, ABlockBackWhileMuchIsPendingServesTheNextBatch) {
  auto collector = make_collector();
  record(*collector);
  fake_now = 1031;
  collector->reportTransactions(keep_block);
  const char* block = kept_batch.data();
  ASSERT_NE(block, nullptr);
  Record large;
  // Past the copying bound, in values that do not make the writer ask for
  // far more room than they take.
  for (char key = 'a'; key < 'i'; ++key) {
    large.userData[std::string(1, key)] = std::string(300000, 'x');
  }
  collector->recordTransaction(large.info());
  auto& pool = *collector->textPool();
  pool.keepUpTo(std::size_t{1} << 30);
  pool.lend(kept_batch, true);
  pool.giveBack(std::move(kept_batch), true);
  record(*collector);
  EXPECT_TRUE(pool.hasSpare()) << "not copied at a record";
  collector->reportTransactions(keep_block, AnalyticsCollector::When::kNow);
  EXPECT_NE(kept_batch.view().find(std::string(1000, 'x')), std::string::npos);
  EXPECT_EQ(pool.counters().mappedBlocks, 2u);
  const char* large_block = kept_batch.data();
  pool.lend(kept_batch, true);
  pool.giveBack(std::move(kept_batch), true);
  record(*collector);
  collector->reportTransactions(keep_block, AnalyticsCollector::When::kNow);
  EXPECT_EQ(pool.counters().mappedBlocks, 2u)
      << "the next batch was written into a block that came back";
  EXPECT_TRUE(kept_batch.data() == large_block || kept_batch.data() == block);
}

// Batches that grow and shrink, delivered blocks that come back while
// events are pending, and a system that refuses every third remap: every
// event comes out once, in order, kept batches stay as they were, and no
// move ever names a fixed destination.
TEST_F(RefusedRemaps, BatchesComeOutWholeWhateverTheSystemRefuses) {
  RefusingMemory::refuse_every = 3;
  RefusingMemory::refused_errno = ENOMEM;
  auto collector = make_collector();
  zeph::agent::BlockPool& pool = *collector->textPool();
  std::mt19937 random(7);
  struct Kept {
    zeph::agent::TextBlock block;
    std::size_t hash;
  };
  std::deque<Kept> kept;
  auto give_back_oldest = [&] {
    Kept& oldest = kept.front();
    EXPECT_EQ(std::hash<std::string_view>()(oldest.block.view()), oldest.hash);
    pool.giveBack(std::move(oldest.block), true);
    kept.pop_front();
  };
  int32_t recorded = 0;
  int32_t delivered_ids = 0;
  for (int round = 0; round < 60; ++round) {
    const int events = 1 + random() % (round % 12 < 6 ? 40 : 1200);
    for (int i = 0; i < events; ++i) {
      Record record;
      record.context.transactionId = recorded++;
      record.userData["pad"] = std::string(random() % 3000, 'p');
      collector->recordTransaction(record.info());
      if (!kept.empty() && random() % 200 == 0) give_back_oldest();
    }
    collector->reportTransactions(
        [&](zeph::agent::TextBlock& batch) {
          EXPECT_EQ(batch.view().front(), '[');
          EXPECT_EQ(batch.view().back(), ']');
          const std::string_view text = batch.view();
          for (std::size_t at = 0;
               (at = text.find("\"transactionId\": \"", at)) !=
               std::string_view::npos;) {
            at += 18;
            EXPECT_EQ(std::stoi(std::string(text.substr(at, 12))),
                      delivered_ids++);
          }
          pool.lend(batch, true);
          kept.push_back(
              {std::move(batch), std::hash<std::string_view>()(text)});
          return AnalyticsCollector::Handoff::kTaken;
        },
        AnalyticsCollector::When::kNow);
    while (kept.size() > random() % 3) give_back_oldest();
  }
  while (!kept.empty()) give_back_oldest();
  EXPECT_EQ(delivered_ids, recorded);
  EXPECT_GT(RefusingMemory::remaps, 10);
  EXPECT_EQ(RefusingMemory::fixed_moves, 0);
}

}  // namespace
