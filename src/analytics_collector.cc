#include "analytics_collector.h"

#include <algorithm>
#include <boost/property_tree/json_parser/error.hpp>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace zeph {
namespace agent {

namespace {

using Tree = boost::property_tree::ptree;

const Tree kEmpty;

// Places value at the dotted path below node as a path put would, except
// that an entry which would give one node both a non-empty value and
// children, or whose path ends in an empty piece, is left out. Nothing is
// created for an entry that is left out. Returns the node that holds the
// value, or null when the entry is left out.
//
// Which entries are placed where depends only on the paths and on which
// values are empty: the rules look at nothing else.
Tree* place(Tree& node, std::string_view path, std::string_view value) {
  if (path.empty() || path.back() == '.') return nullptr;
  Tree* at = &node;
  for (;;) {
    std::size_t dot = path.find('.');
    bool last = dot == std::string_view::npos;
    std::string piece(path.substr(0, dot));
    Tree::assoc_iterator found = at->find(piece);
    if (found == at->not_found()) {
      // Every node from here on is new, so nothing can refuse the entry.
      at = &at->push_back(Tree::value_type(std::move(piece), kEmpty))->second;
      while (!last) {
        path.remove_prefix(dot + 1);
        dot = path.find('.');
        last = dot == std::string_view::npos;
        at = &at->push_back(
                    Tree::value_type(std::string(path.substr(0, dot)), kEmpty))
                  ->second;
      }
      at->data().assign(value);
      return at;
    }
    Tree& child = found->second;
    if (last) {
      if (!child.empty() && !value.empty()) return nullptr;
      child.data().assign(value);
      return &child;
    }
    if (!child.data().empty()) return nullptr;
    at = &child;
    path.remove_prefix(dot + 1);
  }
}

// Escape text per byte; 0 means the byte is copied.
struct EscapeTable {
  char code[256];
  constexpr EscapeTable() : code() {
    for (int b = 0; b < 256; ++b) {
      code[b] = (b < 0x20 || b >= 0x80) ? 'u' : 0;
    }
    code['"'] = '"';
    code['\\'] = '\\';
    code['/'] = '/';
    code['\b'] = 'b';
    code['\f'] = 'f';
    code['\n'] = 'n';
    code['\r'] = 'r';
  }
};
constexpr EscapeTable kEscape;

// Sixteen bytes as one vector, for the compiler's SSE2 or NEON compares.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the first byte of a vector is the lowest of its first half");

// How many bytes from p on need no escape, sixteen at a time as most do not.
std::size_t plain_run(const char* p, const char* end) {
  const char* start = p;
  for (; end - p >= 16; p += 16) {
    Bytes16 v;
    std::memcpy(&v, p, 16);
    Bytes16 escaped =
        (v < 0x20) | (v >= 0x80) | (v == '"') | (v == '\\') | (v == '/');
    uint64_t halves[2];
    std::memcpy(halves, &escaped, 16);
    if (halves[0] != 0) return p - start + __builtin_ctzll(halves[0]) / 8;
    if (halves[1] != 0) return p - start + 8 + __builtin_ctzll(halves[1]) / 8;
  }
  while (p != end && kEscape.code[static_cast<unsigned char>(*p)] == 0) ++p;
  return p - start;
}

void write_string(TextBlock& writer, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  // An escape takes at most six bytes.
  char* out = writer.room(6 * text.size() + 2);
  *out++ = '"';
  const char* p = text.data();
  const char* end = p + text.size();
  // Runs that need no escape are copied whole: URLs and user agents have a
  // slash every few characters.
  for (;;) {
    std::size_t plain = plain_run(p, end);
    std::memcpy(out, p, plain);
    out += plain;
    p += plain;
    if (p == end) break;
    unsigned char byte = static_cast<unsigned char>(*p++);
    char code = kEscape.code[byte];
    if (code == 'u') {
      const char escape[] = {'\\',           'u', '0', '0', kHex[byte >> 4],
                             kHex[byte & 15]};
      std::memcpy(out, escape, sizeof escape);
      out += sizeof escape;
    } else {
      *out++ = '\\';
      *out++ = code;
    }
  }
  *out++ = '"';
  writer.end(out);
}

// Indents are appended from this run of spaces; a whole event nests at most
// seven levels of four.
constexpr char kSpaces[] = "                                ";

void append_indent(TextBlock& out, std::size_t width) {
  while (width > sizeof kSpaces - 1) {
    out.append(kSpaces, sizeof kSpaces - 1);
    width -= sizeof kSpaces - 1;
  }
  out.append(kSpaces, width);
}

void write_node(TextBlock& out, const Tree& node, std::size_t indent,
                bool root) {
  if (node.empty() && !root) {
    write_string(out, node.data());
    return;
  }
  if (!node.data().empty()) {
    throw boost::property_tree::json_parser::json_parser_error(
        "ptree contains data that cannot be represented in JSON format", "", 0);
  }
  bool array = !root;
  for (const Tree::value_type& child : node) {
    if (!child.first.empty()) {
      array = false;
      break;
    }
  }
  out += array ? '[' : '{';
  out += '\n';
  std::size_t inner = indent + 4;
  for (auto it = node.begin(); it != node.end();) {
    append_indent(out, inner);
    if (!array) {
      write_string(out, it->first);
      out += ": ";
    }
    write_node(out, it->second, inner, false);
    if (++it != node.end()) out += ',';
    out += '\n';
  }
  append_indent(out, indent);
  out += array ? ']' : '}';
}

// Whether every key of the map is a name of its own, with no dot to nest
// it and not empty (which would leave it out): the map's tree is then its
// entries in key order, one level deep, as most maps are.
bool is_flat(const TransactionRecord& record, TransactionRecord::Map map) {
  for (const TransactionRecord::Entry* entry = record.begin(map);
       entry != record.end(map); ++entry) {
    std::string_view key = record.view(entry->key);
    if (key.empty() || key.find('.') != std::string_view::npos) return false;
  }
  return true;
}

// A flat map written as its tree would be, without building the tree.
void write_flat_map(TextBlock& out, const TransactionRecord& record,
                    TransactionRecord::Map map, std::size_t indent) {
  out += "{\n";
  for (const TransactionRecord::Entry* entry = record.begin(map);
       entry != record.end(map);) {
    append_indent(out, indent + 4);
    write_string(out, record.view(entry->key));
    out += ": ";
    write_string(out, record.view(entry->value));
    if (++entry != record.end(map)) out += ',';
    out += '\n';
  }
  append_indent(out, indent);
  out += '}';
}

template <typename Number>
void write_number(TextBlock& out, Number number) {
  char digits[12];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr -
                         digits);
}

// The members' fixed text between the values, by indent: the top level (4),
// the segment (12), httpData (16) and an exit call (20).
#define MEMBER(indent, name) ",\n" indent "\"" name "\": "
#define TOP "    "
#define SEGMENT "            "
#define HTTP "                "
#define CALL "                    "

constexpr std::string_view kMapNames[] = {
    MEMBER(HTTP, "sessionObjects"), MEMBER(HTTP, "uriPathSegments"),
    MEMBER(HTTP, "parameters"),     MEMBER(HTTP, "headers"),
    MEMBER(HTTP, "cookies"),        MEMBER(SEGMENT, "userData"),
};

TransactionRecord record_of(const AnalyticsCollector::TransactionInfo& info) {
  const AnalyticsCollector::TransactionContext& context = info.context;
  const AnalyticsCollector::HttpData& http = info.httpData;
  TransactionRecord record;
  record.eventTimestamp = record.add(context.eventTimestamp);
  record.requestGUID = record.add(context.requestGUID);
  record.transactionId = context.transactionId;
  record.transactionName = record.add(context.transactionName);
  record.clientRequestGUID = record.add(context.clientRequestGUID);
  record.requestExperience = record.add(context.requestExperience);
  record.transactionTime = context.transactionTime;
  record.entryPoint = context.entryPoint;
  for (const AnalyticsCollector::ExitCall& call : info.exitCalls) {
    record.exitCalls.push_back({record.add(call.exitCallType),
                                call.avgResponseTimeMillis, call.numberOfCalls,
                                call.numberOfErrors});
  }
  record.url = record.add(http.url);
  record.principal = record.add(http.principal);
  record.sessionId = record.add(http.sessionId);
  const AnalyticsCollector::StringMap* maps[] = {
      &http.sessionObjects, &http.uriPathSegments, &http.parameters,
      &http.headers,        &http.cookies,         &info.userData};
  for (int m = 0; m < TransactionRecord::kMapCount; ++m) {
    TransactionRecord::Map map = static_cast<TransactionRecord::Map>(m);
    record.startMap(map);
    for (const auto& entry : *maps[m]) {
      TransactionRecord::Text key = record.add(entry.first);
      record.addEntry(key, record.add(entry.second));
    }
    record.endMap(map);
  }
  return record;
}

}  // namespace

AnalyticsCollector::AnalyticsCollector(std::unique_ptr<AgentIdentity> identity,
                                       Clock clock, std::size_t maxBatchLength,
                                       std::shared_ptr<BlockPool> pool)
    : identity(std::move(identity)),
      pool(pool ? std::move(pool) : std::make_shared<BlockPool>()),
      clock(clock),
      maxBatchLength(maxBatchLength),
      lastReportTime(clock(nullptr)) {
  const AgentIdentity& id = *this->identity;
  TextBlock head;
  head += MEMBER(TOP, "applicationId");
  write_string(head, id.applicationId);
  head += MEMBER(TOP, "application");
  write_string(head, id.applicationName);
  head += MEMBER(TOP, "requestGUID");
  eventHead = head.view();
  head.clear();
  head += MEMBER(SEGMENT, "tierId");
  write_string(head, id.tierId);
  head += MEMBER(SEGMENT, "tier");
  write_string(head, id.tierName);
  head += MEMBER(SEGMENT, "nodeId");
  write_string(head, id.nodeId);
  head += MEMBER(SEGMENT, "node");
  write_string(head, id.nodeName);
  head += MEMBER(SEGMENT, "requestExperience");
  segmentHead = head.view();
}

void AnalyticsCollector::recordTransaction(const TransactionInfo& info) {
  if (enabled) recordTransaction(record_of(info));
}

void AnalyticsCollector::recordTransaction(const TransactionRecord& record) {
  if (!enabled) return;
  if (!spareDeclined && pool->hasSpare() && !pendingStarts.empty()) {
    adoptSpare();
  }
  std::size_t mark = pendingText.size();
  try {
    if (pendingStarts.empty()) {
      // Room for half as much again as the last batch, which costs address
      // space only; more is mapped as the text grows, without a copy.
      if (pendingText.mapped() == 0) {
        pendingText = pool->take(lastBatchLength + lastBatchLength / 2);
      }
      pendingText.push_back('[');
    } else {
      pendingText.append(", ");
    }
    std::size_t start = pendingText.size();
    writeEvent(pendingText, record);
    // The brackets of a one-event batch must fit as well.
    if (maxBatchLength < 2 || pendingText.size() - start > maxBatchLength - 2) {
      throw std::length_error("the transaction event is too long to report");
    }
    pendingStarts.push_back(start);
  } catch (...) {
    pendingText.truncate(mark);
    throw;
  }
}

// A delivered batch's block is back: the pending texts so far are copied
// to its front, and grow into pages that are resident already rather than
// into fresh ones that the system must clear and fault in. Past a bound
// the copy would cost this call too much; the block then waits for the
// next batch.
void AnalyticsCollector::adoptSpare() {
  if (pendingText.size() > kAdoptedBytes) {
    spareDeclined = true;
    return;
  }
  TextBlock spare = pool->takeSpare();
  // One too small for the texts so far is dropped.
  if (spare.capacity() < pendingText.size()) return;
  spare.clear();
  spare.append(pendingText.view());
  pendingText = std::move(spare);
}

void AnalyticsCollector::releaseIdle() {
  if (pendingStarts.empty()) pool->dropSpare();
}

bool AnalyticsCollector::dueAt(std::time_t now, When when) const {
  if (!enabled || pendingStarts.empty()) return false;
  if (when == When::kNow) return true;
  // Written to stay clear of overflow for any clock value.
  constexpr std::time_t kLatest =
      std::numeric_limits<std::time_t>::max() - kReportIntervalSeconds;
  if (lastReportTime <= kLatest &&
      now > lastReportTime + kReportIntervalSeconds)
    return true;
  return pendingStarts.size() > kBatchThreshold;
}

bool AnalyticsCollector::reportDue(When when) const {
  return dueAt(clock(nullptr), when);
}

// The texts of one report, taken out of the collector, framed as arrays of
// at most maxLength bytes each: whole texts, in order, as many as fit.
class AnalyticsCollector::Framing {
 public:
  Framing(TextBlock&& text, std::vector<std::size_t>&& starts,
          std::size_t maxLength)
      : text_(std::move(text)),
        starts_(std::move(starts)),
        maxLength_(maxLength) {}

  bool done() const { return first_ == starts_.size(); }
  bool handedAny() const { return first_ != 0; }

  // The next array. Every text fits with its brackets (see
  // recordTransaction), so each array carries at least one. Throws
  // std::bad_alloc, and then nothing has changed.
  TextBlock frame() {
    last_ = first_ + 1;
    while (last_ < starts_.size() &&
           endOf(last_) - starts_[first_] <= maxLength_ - 2) {
      ++last_;
    }
    if (first_ == 0 && last_ == starts_.size()) {
      // The whole text, closed, handed over without a copy; its room for
      // the bracket was taken before anything moved.
      text_.push_back(']');
      return std::move(text_);
    }
    std::size_t length = endOf(last_ - 1) - starts_[first_];
    TextBlock batch(length + 2);
    batch.push_back('[');
    batch.append(text_.data() + starts_[first_], length);
    batch.push_back(']');
    return batch;
  }

  // The array last framed was handed over.
  void advance() { first_ = last_; }

  // The array last framed was not: the text is as before it was framed.
  void unframe(TextBlock&& batch) {
    if (text_.mapped() != 0) return;
    text_ = std::move(batch);
    text_.truncate(text_.size() - 1);
  }

  // The texts not handed over, as a pending text and its starts.
  void takeRest(TextBlock* text, std::vector<std::size_t>* starts) {
    std::size_t cut = starts_[first_] - 1;
    text_.erase(1, cut);
    starts_.erase(starts_.begin(), starts_.begin() + first_);
    for (std::size_t& start : starts_) start -= cut;
    *text = std::move(text_);
    starts->swap(starts_);
  }

 private:
  std::size_t endOf(std::size_t i) const {
    return i + 1 < starts_.size() ? starts_[i + 1] - 2 : text_.size();
  }

  TextBlock text_;
  std::vector<std::size_t> starts_;
  std::size_t maxLength_;
  // The arrays from first_ on are still to be handed over; the one last
  // framed ends before last_.
  std::size_t first_ = 0;
  std::size_t last_ = 0;
};

void AnalyticsCollector::reportTransactions(ReportFunction& report, When when) {
  reportTransactions(
      [&report](TextBlock& batch) {
        return report(batch.c_str()) ? Handoff::kTaken : Handoff::kFailed;
      },
      when);
}

void AnalyticsCollector::reportTransactions(const BatchReceiver& receive,
                                            When when) {
  const std::time_t now = clock(nullptr);
  if (!dueAt(now, when)) {
    releaseIdle();
    return;
  }
  // Room for the closing bracket, taken while nothing has moved yet.
  pendingText.reserve(pendingText.size() + 1);
  const std::time_t previousReport = lastReportTime;
  lastBatchLength = pendingText.size() + 1;
  lastReportTime = now;
  // The block of a batch that comes back from script serves the next
  // pending texts; one much larger than the batch would hold memory to no
  // use.
  pool->keepUpTo(pendingText.mapped() + pendingText.mapped() / 2);
  spareDeclined = false;
  // Records made by the receiver go to a fresh block.
  Framing framing(std::move(pendingText), std::move(pendingStarts),
                  maxBatchLength);
  pendingStarts.clear();
  try {
    handOver(framing, receive);
  } catch (...) {
    restore(framing);
    if (!framing.handedAny()) lastReportTime = previousReport;
    throw;
  }
  if (!framing.done()) {
    restore(framing);
    if (!framing.handedAny()) lastReportTime = previousReport;
  }
}

void AnalyticsCollector::handOver(Framing& framing,
                                  const BatchReceiver& receive) {
  while (!framing.done()) {
    TextBlock batch = framing.frame();
    const Handoff handoff = receive(batch);
    if (handoff == Handoff::kNotTaken) {
      framing.unframe(std::move(batch));
      return;
    }
    framing.advance();
    // A receiver that did not take the batch is done with it.
    pool->give(std::move(batch));
    if (handoff == Handoff::kFailed) return;
  }
}

void AnalyticsCollector::restore(Framing& framing) {
  TextBlock text;
  std::vector<std::size_t> starts;
  framing.takeRest(&text, &starts);
  if (!pendingStarts.empty()) {
    std::size_t shift = text.size() + 1;
    text.append(", ");
    text.append(pendingText.view().substr(1));
    for (std::size_t start : pendingStarts) starts.push_back(start + shift);
  }
  pendingText = std::move(text);
  pendingStarts.swap(starts);
}

void AnalyticsCollector::buildTransactionJson(
    std::string& out, const TransactionInfo& info) const {
  buildTransactionJson(out, record_of(info));
}

// The fixed members are written in place; each map goes through a property
// tree, which places its dotted keys.
void AnalyticsCollector::buildTransactionJson(
    std::string& out, const TransactionRecord& record) const {
  // Printed into a block that is kept; the output gets an exact copy.
  printBuffer.clear();
  writeEvent(printBuffer, record);
  std::string copy(printBuffer.view());
  // A rare large event should not keep its memory for good.
  if (printBuffer.capacity() > kKeptPrintCapacity) printBuffer = TextBlock();
  out.swap(copy);
}

void AnalyticsCollector::writeEvent(TextBlock& text,
                                    const TransactionRecord& record) const {
  text += "{\n" TOP "\"eventTimestamp\": ";
  write_string(text, record.view(record.eventTimestamp));
  text += eventHead;
  write_string(text, record.view(record.requestGUID));
  text += MEMBER(TOP, "transactionName");
  write_string(text, record.view(record.transactionName));
  text += MEMBER(TOP, "transactionId") "\"";
  write_number(text, record.transactionId);
  text += "\"" MEMBER(TOP, "segments") "[\n        {\n" SEGMENT
                                       "\"segmentTimestamp\": ";
  write_string(text, record.view(record.eventTimestamp));
  text += segmentHead;
  write_string(text, record.view(record.requestExperience));
  text += MEMBER(SEGMENT, "transactionTime") "\"";
  write_number(text, record.transactionTime);
  text += record.entryPoint ? "\"" MEMBER(SEGMENT, "entryPoint") "\"true\""
                            : "\"" MEMBER(SEGMENT, "entryPoint") "\"false\"";
  text += MEMBER(SEGMENT, "clientRequestGUID");
  write_string(text, record.view(record.clientRequestGUID));
  if (!record.exitCalls.empty()) {
    text += MEMBER(SEGMENT, "exitCalls") "[\n";
    for (auto it = record.exitCalls.begin(); it != record.exitCalls.end();) {
      text += "                {\n" CALL "\"exitCallType\": ";
      write_string(text, record.view(it->exitCallType));
      text += MEMBER(CALL, "avgResponseTimeMillis") "\"";
      write_number(text, it->avgResponseTimeMillis);
      text += "\"" MEMBER(CALL, "numberOfCalls") "\"";
      write_number(text, it->numberOfCalls);
      text += "\"" MEMBER(CALL, "numberOfErrors") "\"";
      write_number(text, it->numberOfErrors);
      text += ++it != record.exitCalls.end() ? "\"\n                },\n"
                                             : "\"\n                }\n";
    }
    text += SEGMENT "]";
  }
  text += MEMBER(SEGMENT, "httpData") "{\n" HTTP "\"url\": ";
  write_string(text, record.view(record.url));
  text += MEMBER(HTTP, "principal");
  write_string(text, record.view(record.principal));
  text += MEMBER(HTTP, "sessionId");
  write_string(text, record.view(record.sessionId));
  for (int m = 0; m < TransactionRecord::kMapCount; ++m) {
    TransactionRecord::Map map = static_cast<TransactionRecord::Map>(m);
    if (map == TransactionRecord::kUserData) text += "\n" SEGMENT "}";
    if (record.empty(map)) continue;
    const std::size_t indent = map == TransactionRecord::kUserData ? 12 : 16;
    if (is_flat(record, map)) {
      text += kMapNames[m];
      write_flat_map(text, record, map, indent);
      continue;
    }
    const Tree& node = insertKeyValuePairs(record, map);
    // Every entry of the map may have been left out.
    if (!node.empty()) {
      text += kMapNames[m];
      write_node(text, node, indent, false);
    }
    // A tree too large to be kept for the next event goes now.
    if (!mapTrees[map].reusable) mapTrees[map] = MapTree();
  }
  text += "\n        }\n    ]\n}\n";
}

const Tree& AnalyticsCollector::insertKeyValuePairs(
    const TransactionRecord& record, TransactionRecord::Map map) const {
  MapTree& kept = mapTrees[map];
  const TransactionRecord::Entry* first = record.begin(map);
  std::size_t count = record.end(map) - first;
  // Maps of one kind mostly have the same keys from one event to the next
  // (the same headers, say): the tree placed for the last event then holds
  // every entry where the rules would place it again, and only the values
  // change, which costs no allocation per node.
  bool same = kept.reusable && count == kept.keys.size();
  for (std::size_t i = 0; same && i < count; ++i) {
    same = record.view(first[i].key) == kept.keys[i] &&
           record.view(first[i].value).empty() == kept.emptyValues[i];
  }
  std::size_t bytes = 0;
  if (same) {
    for (std::size_t i = 0; i < count; ++i) {
      std::string_view value = record.view(first[i].value);
      bytes += value.size();
      if (kept.nodes[i]) kept.nodes[i]->data().assign(value);
    }
    kept.reusable = bytes <= kReusedMapBytes;
    return kept.tree;
  }
  kept.reusable = false;
  kept.tree.clear();
  kept.keys.clear();
  kept.emptyValues.clear();
  kept.nodes.clear();
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view key = record.view(first[i].key);
    std::string_view value = record.view(first[i].value);
    kept.nodes.push_back(place(kept.tree, key, value));
    kept.keys.emplace_back(key);
    kept.emptyValues.push_back(value.empty());
    bytes += key.size() + value.size();
  }
  kept.reusable = count <= kReusedMapEntries && bytes <= kReusedMapBytes;
  return kept.tree;
}

#undef MEMBER
#undef TOP
#undef SEGMENT
#undef HTTP
#undef CALL

}  // namespace agent
}  // namespace zeph
