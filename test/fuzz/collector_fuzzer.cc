// Coverage-guided fuzz target for the engine-free event builder and collector.
// Random records, maps, switches, clock steps and batch limits go in; every
// event text and every delivered batch must be strict JSON with string
// leaves and no empty object or array, events must end with "}" and a
// newline, and the batches must carry exactly the recorded events in order.
// Built and run by scripts/fuzz-collector.js.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "analytics_collector.h"
#include "strict_json.h"

namespace {

using zeph::agent::AnalyticsCollector;
using StringMap = AnalyticsCollector::StringMap;

[[noreturn]] void fault(const char* what, const std::string& text) {
  std::fprintf(stderr, "collector fuzzer: %s\n--- text (%zu bytes) ---\n%s\n",
               what, text.size(), text.c_str());
  std::abort();
}

std::time_t now = 0;
std::time_t fake_clock(std::time_t* out) {
  if (out) *out = now;
  return now;
}

// The state one delivery is checked against.
struct Expectation {
  std::deque<std::string> pending;  // texts recorded and not yet delivered
  size_t limit = AnalyticsCollector::kNoBatchLimit;
  bool refuse_next = false;
  size_t batches = 0;
};
Expectation* expect = nullptr;

strict_json::Rules event_rules() {
  strict_json::Rules rules;
  rules.leaves_are_strings = true;
  rules.no_empty_containers = true;
  return rules;
}

void check_event(const std::string& text) {
  strict_json::Result r = strict_json::check(text, event_rules());
  if (!r.ok) fault(("event is not strict JSON: " + r.error).c_str(), text);
  if (text.size() < 4 || text.compare(0, 2, "{\n") != 0 ||
      text.compare(text.size() - 2, 2, "}\n") != 0) {
    fault("event does not start with \"{\\n\" and end with \"}\\n\"", text);
  }
}

bool report(const char* batch) {
  std::string text(batch);
  strict_json::Result r = strict_json::check(text, event_rules());
  if (!r.ok) fault(("batch is not strict JSON: " + r.error).c_str(), text);
  if (text.size() > expect->limit) fault("batch longer than its limit", text);
  // The batch must be the oldest pending texts, framed.
  std::string framed = "[";
  for (size_t i = 0; i < r.top_level_values; ++i) {
    if (expect->pending.empty()) fault("batch holds unrecorded events", text);
    if (i) framed += ", ";
    framed += expect->pending.front();
    expect->pending.pop_front();
  }
  framed += "]";
  if (framed != text) fault("batch differs from the recorded events", text);
  ++expect->batches;
  if (expect->refuse_next) {
    // The collector drops the rest of this report's texts.
    expect->refuse_next = false;
    return false;
  }
  return true;
}

const char* const kKeys[] = {
    "a",  "b",   "a.b",  "a.b.c",      "a.c",          "",   ".",  "..",
    ".a", "a.",  "a..b", "x.1",        "x.2",          "10", "9",  "Z",
    ".b", "..a", "a.b.", "cart.items", "customerTier", "\"", "\\", "/",
};

std::string text(FuzzedDataProvider& in, size_t max = 24) {
  return in.ConsumeRandomLengthString(max);
}

StringMap map(FuzzedDataProvider& in) {
  StringMap out;
  size_t n = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < n; ++i) {
    std::string key = in.ConsumeBool()
                          ? kKeys[in.ConsumeIntegralInRange<size_t>(
                                0, sizeof kKeys / sizeof kKeys[0] - 1)]
                          : text(in, 12);
    out[key] = in.ConsumeBool() ? std::string() : text(in);
  }
  return out;
}

struct Record {
  AnalyticsCollector::TransactionContext context;
  std::list<AnalyticsCollector::ExitCall> exitCalls;
  AnalyticsCollector::HttpData http;
  StringMap userData;

  explicit Record(FuzzedDataProvider& in) {
    context.eventTimestamp = text(in);
    context.requestGUID = text(in);
    context.transactionId = in.ConsumeIntegral<int32_t>();
    context.transactionName = text(in, 64);
    context.clientRequestGUID = text(in);
    context.requestExperience = text(in);
    context.transactionTime = in.ConsumeIntegral<int32_t>();
    context.entryPoint = in.ConsumeBool();
    for (size_t n = in.ConsumeIntegralInRange<size_t>(0, 3); n > 0; --n) {
      exitCalls.push_back({text(in), in.ConsumeIntegral<uint32_t>(),
                           in.ConsumeIntegral<uint32_t>(),
                           in.ConsumeIntegral<uint32_t>()});
    }
    http.url = text(in, 64);
    http.principal = text(in);
    http.sessionId = text(in);
    for (StringMap* m : {&http.sessionObjects, &http.uriPathSegments,
                         &http.parameters, &http.headers, &http.cookies}) {
      if (in.ConsumeBool()) *m = map(in);
    }
    if (in.ConsumeBool()) userData = map(in);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  auto identity = std::make_unique<AnalyticsCollector::AgentIdentity>();
  identity->applicationId = text(in);
  identity->applicationName = text(in);
  identity->tierId = text(in);
  identity->tierName = text(in);
  identity->nodeId = text(in);
  identity->nodeName = text(in);

  Expectation expectation;
  expect = &expectation;
  if (in.ConsumeBool()) {
    expectation.limit = in.ConsumeIntegralInRange<size_t>(0, 4096);
  }
  now = in.ConsumeIntegralInRange<std::time_t>(-100, 2000000000);
  AnalyticsCollector collector(std::move(identity), fake_clock,
                               expectation.limit);

  bool flooded = false;
  while (in.remaining_bytes() > 0) {
    // Floods are costly: at most one per input, and rare.
    int op = in.ConsumeIntegralInRange<int>(0, 63);
    op = op < 24 ? 0 : op < 30 ? 3 : op < 38 ? 4 : op < 63 ? 6 : 5;
    switch (op) {
      case 0: {
        Record record(in);
        AnalyticsCollector::TransactionInfo info{
            record.context, record.exitCalls, record.http, record.userData};
        std::string built = "untouched";
        collector.buildTransactionJson(built, info);
        check_event(built);
        size_t before = collector.pendingCount();
        try {
          collector.recordTransaction(info);
        } catch (const std::length_error&) {
          if (built.size() + 2 <= expectation.limit) {
            fault("an event that fits its batch limit was refused", built);
          }
          if (collector.pendingCount() != before) {
            fault("a refused event was kept", built);
          }
          break;
        }
        if (!collector.enabled) {
          if (collector.pendingCount() != before) {
            fault("an event was kept while collection was off", built);
          }
        } else {
          if (collector.pendingCount() != before + 1) {
            fault("a recorded event was not kept", built);
          }
          expectation.pending.push_back(built);
        }
        break;
      }
      case 3:
        collector.enabled = in.ConsumeBool();
        break;
      case 4:
        now += in.ConsumeIntegralInRange<std::time_t>(-40, 40);
        break;
      case 5: {
        // Pushes the buffer past the batch threshold with one small event.
        Record record(in);
        AnalyticsCollector::TransactionInfo info{
            record.context, record.exitCalls, record.http, record.userData};
        std::string built;
        collector.buildTransactionJson(built, info);
        if (in.ConsumeIntegral<uint16_t>() != 0xF100 || flooded ||
            !collector.enabled || built.size() + 2 > expectation.limit) {
          break;
        }
        flooded = true;
        size_t n = AnalyticsCollector::kBatchThreshold + 1;
        for (size_t i = 0; i < n; ++i) {
          collector.recordTransaction(info);
          expectation.pending.push_back(built);
        }
        break;
      }
      default: {
        bool due = collector.reportDue();
        expectation.refuse_next = in.ConsumeBool() && in.ConsumeBool();
        bool refusing = expectation.refuse_next;
        size_t pending = collector.pendingCount();
        size_t batches = expectation.batches;
        collector.reportTransactions(report);
        if (!due) {
          if (expectation.batches != batches ||
              collector.pendingCount() != pending) {
            fault("a report that was not due delivered", "");
          }
          expectation.refuse_next = false;
          break;
        }
        if (expectation.batches == batches)
          fault("a due report delivered nothing", "");
        if (collector.pendingCount() != 0)
          fault("a report left events behind", "");
        if (refusing) {
          expectation.pending.clear();
        } else if (!expectation.pending.empty()) {
          fault("a report did not deliver every pending event", "");
        }
        if (collector.lastReport() != now)
          fault("the report time was not set", "");
        break;
      }
    }
  }
  if (collector.pendingCount() != expectation.pending.size()) {
    fault("the collector and the record of its events disagree", "");
  }
  expect = nullptr;
  return 0;
}
