// Transaction records, the buffer of finished events and the event document
// writer. Plain C++ with no engine header, so it can be tested and fuzzed on
// its own.
#ifndef SRC_ANALYTICS_COLLECTOR_H_
#define SRC_ANALYTICS_COLLECTOR_H_

#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "block_pool.h"
#include "text_block.h"
#include "transaction_record.h"

namespace zeph {
namespace agent {

class AnalyticsCollector {
 public:
  // Ordered byte-wise, which is also the order of the entries in the event.
  using StringMap = std::map<std::string, std::string>;

  struct TransactionContext {
    std::string eventTimestamp;
    std::string requestGUID;
    int32_t transactionId = 0;
    std::string transactionName;
    std::string clientRequestGUID;
    std::string requestExperience;
    int32_t transactionTime = 0;
    bool entryPoint = false;
  };

  struct ExitCall {
    std::string exitCallType;
    uint32_t avgResponseTimeMillis = 0;
    uint32_t numberOfCalls = 0;
    uint32_t numberOfErrors = 0;
  };

  struct HttpData {
    std::string url;
    std::string principal;
    std::string sessionId;
    StringMap sessionObjects;
    StringMap uriPathSegments;
    StringMap parameters;
    StringMap headers;
    StringMap cookies;
  };

  // The referenced records belong to the caller and must outlive the
  // recordTransaction call.
  struct TransactionInfo {
    const TransactionContext& context;
    const std::list<ExitCall>& exitCalls;
    const HttpData& httpData;
    StringMap userData;
  };

  struct AgentIdentity {
    std::string applicationId;
    std::string applicationName;
    std::string tierId;
    std::string tierName;
    std::string nodeId;
    std::string nodeName;
  };

  using Clock = std::time_t (*)(std::time_t*);
  // Receives one framed batch, valid for the call only. Returns false when
  // the receiver failed and nothing more may be delivered now.
  using ReportFunction = bool(const char* batch);

  // What became of a batch handed to a receiver.
  enum class Handoff {
    // The receiver has it.
    kTaken,
    // It never reached the receiver (it could not be made into what the
    // receiver takes): its events stay pending, and so do those of the
    // arrays after it.
    kNotTaken,
    // The receiver has it but failed: the arrays after it stay pending.
    kFailed,
  };
  // Receives one framed batch in its block, which it may take (move out) to
  // keep; a taken block goes back to textPool() when the receiver is done
  // with it.
  using BatchReceiver = std::function<Handoff(TextBlock& batch)>;

  static constexpr std::time_t kReportIntervalSeconds = 30;
  static constexpr std::size_t kBatchThreshold = 10000;
  static constexpr std::size_t kNoBatchLimit =
      std::numeric_limits<std::size_t>::max();

  // maxBatchLength bounds the bytes of one delivered array; a longer batch is
  // delivered as several arrays.
  // pool, when given, is shared with other collectors of the same owner,
  // so that what one kept may serve the next.
  explicit AnalyticsCollector(std::unique_ptr<AgentIdentity> identity,
                              Clock clock = ::time,
                              std::size_t maxBatchLength = kNoBatchLimit,
                              std::shared_ptr<BlockPool> pool = nullptr);
  AnalyticsCollector(const AnalyticsCollector&) = delete;
  AnalyticsCollector& operator=(const AnalyticsCollector&) = delete;

  // Builds and keeps the event text. Throws (std::bad_alloc,
  // std::length_error for an event that no batch could carry) without
  // keeping anything.
  void recordTransaction(const TransactionRecord& record);
  // The same for records made one value at a time.
  void recordTransaction(const TransactionInfo& info);

  // When to deliver: only when a report is due, or now whatever the clock
  // and the count say (collection on and something pending is still
  // needed). A forced report counts as a report for the interval.
  enum class When { kDue, kNow };

  // Whether reportTransactions would deliver now.
  bool reportDue(When when = When::kDue) const;
  // With nothing pending, a block kept for pending texts would only hold
  // memory: it goes. reportTransactions does this when it delivers nothing.
  void releaseIdle();

  // Delivers every pending text when a report is due, in recording order.
  // Texts that were not handed over stay pending, ahead of any recorded
  // meanwhile; a report that handed nothing over leaves the time of the
  // last report as it was.
  void reportTransactions(ReportFunction& report, When when = When::kDue);
  void reportTransactions(const BatchReceiver& receive, When when = When::kDue);

  void buildTransactionJson(std::string& out,
                            const TransactionRecord& record) const;
  void buildTransactionJson(std::string& out,
                            const TransactionInfo& info) const;
  // The property tree of one map of the record, its entries placed by their
  // dotted keys; valid until the next call for that map.
  const boost::property_tree::ptree& insertKeyValuePairs(
      const TransactionRecord& record, TransactionRecord::Map map) const;

  // Where delivered batches give back their blocks.
  const std::shared_ptr<BlockPool>& textPool() const { return pool; }
  // Bytes of the pending texts and of the block that holds them.
  std::size_t pendingBytes() const { return pendingText.size(); }
  std::size_t pendingMapped() const { return pendingText.mapped(); }

  std::size_t pendingCount() const { return pendingStarts.size(); }
  std::time_t lastReport() const { return lastReportTime; }
  const AgentIdentity& agentIdentity() const { return *identity; }

  bool enabled = true;

 private:
  class Framing;

  bool dueAt(std::time_t now, When when) const;
  void adoptSpare();
  // Frames the pending texts as arrays and hands them over one by one.
  void handOver(Framing& framing, const BatchReceiver& receive);
  // Puts the texts that framing did not hand over back, ahead of any
  // recorded since they were taken.
  void restore(Framing& framing);
  // Appends the event text of record to text.
  void writeEvent(TextBlock& text, const TransactionRecord& record) const;

  std::unique_ptr<AgentIdentity> identity;
  // The pending texts, oldest first, already framed as the start of one
  // array: "[", then the texts with ", " between them. A batch that holds
  // them all is this text closed, handed over without a copy.
  TextBlock pendingText;
  // Where each pending text begins in pendingText.
  std::vector<std::size_t> pendingStarts;
  // The room the next pending texts are likely to need.
  std::size_t lastBatchLength = 0;
  // A delivered batch's block came back when the pending texts were too
  // long to copy into it: it waits for the next batch.
  bool spareDeclined = false;
  // The most pending bytes copied into a block that came back.
  static constexpr std::size_t kAdoptedBytes = std::size_t{2} << 20;
  std::shared_ptr<BlockPool> pool;
  Clock clock;
  std::size_t maxBatchLength;
  std::time_t lastReportTime;
  // The event's text from the identity on to the next text of the record,
  // at the top and in the segment; escaped once, as the identity is fixed.
  std::string eventHead;
  std::string segmentHead;
  // Where buildTransactionJson writes.
  mutable TextBlock printBuffer;
  static constexpr std::size_t kKeptPrintCapacity = std::size_t{1} << 20;

  // The tree of a map as last placed, with the layout it was placed for:
  // its keys, which values were empty, and the node that took each entry
  // (null for an entry left out).
  struct MapTree {
    boost::property_tree::ptree tree;
    std::vector<std::string> keys;
    std::vector<bool> emptyValues;
    std::vector<boost::property_tree::ptree*> nodes;
    bool reusable = false;
  };
  // Larger maps are placed afresh each time rather than kept.
  static constexpr std::size_t kReusedMapEntries = 64;
  static constexpr std::size_t kReusedMapBytes = 16384;
  mutable MapTree mapTrees[TransactionRecord::kMapCount];
};

}  // namespace agent
}  // namespace zeph

#endif  // SRC_ANALYTICS_COLLECTOR_H_
