#include "analytics_collector.h"

#include <boost/property_tree/json_parser/error.hpp>
#include <stdexcept>
#include <utility>

namespace zeph {
namespace agent {

namespace {

using Tree = boost::property_tree::ptree;

const Tree kEmpty;

// push_back copies its pair, so the pair is made once per key: each child
// then costs one copy instead of two temporaries and a copy.
Tree& add_child(Tree& node, const Tree::value_type& prototype) {
  return node.push_back(prototype)->second;
}

void add(Tree& node, const Tree::value_type& prototype,
         const std::string& value) {
  add_child(node, prototype).data() = value;
}

#define KEY(name) static const Tree::value_type k_##name(#name, kEmpty)

// Places value at the dotted path below node as a path put would, except
// that an entry which would give one node both a non-empty value and
// children, or whose path ends in an empty piece, is left out. Nothing is
// created for an entry that is left out.
void place(Tree& node, const std::string& path, const std::string& value) {
  if (path.empty() || path.back() == '.') return;
  Tree* at = &node;
  std::size_t begin = 0;
  for (;;) {
    std::size_t dot = path.find('.', begin);
    bool last = dot == std::string::npos;
    std::string piece =
        path.substr(begin, last ? std::string::npos : dot - begin);
    Tree::assoc_iterator found = at->find(piece);
    if (found == at->not_found()) {
      // Every node from here on is new, so nothing can refuse the entry.
      at = &at->push_back(Tree::value_type(std::move(piece), kEmpty))->second;
      while (!last) {
        begin = dot + 1;
        dot = path.find('.', begin);
        last = dot == std::string::npos;
        piece = path.substr(begin, last ? std::string::npos : dot - begin);
        at = &at->push_back(Tree::value_type(std::move(piece), kEmpty))->second;
      }
      at->data() = value;
      return;
    }
    Tree& child = found->second;
    if (last) {
      if (!child.empty() && !value.empty()) return;
      child.data() = value;
      return;
    }
    if (!child.data().empty()) return;
    at = &child;
    begin = dot + 1;
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

void write_string(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '"';
  const char* run = text.data();
  const char* end = run + text.size();
  for (const char* p = run; p != end; ++p) {
    char code = kEscape.code[static_cast<unsigned char>(*p)];
    if (code == 0) continue;
    out.append(run, p);
    run = p + 1;
    if (code == 'u') {
      unsigned char byte = static_cast<unsigned char>(*p);
      char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
      out.append(escape, sizeof escape);
    } else {
      out += '\\';
      out += code;
    }
  }
  out.append(run, end);
  out += '"';
}

void write_node(std::string& out, const Tree& node, std::size_t indent,
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
    out.append(inner, ' ');
    if (!array) {
      write_string(out, it->first);
      out += ": ";
    }
    write_node(out, it->second, inner, false);
    if (++it != node.end()) out += ',';
    out += '\n';
  }
  out.append(indent, ' ');
  out += array ? ']' : '}';
}

}  // namespace

AnalyticsCollector::AnalyticsCollector(std::unique_ptr<AgentIdentity> identity,
                                       Clock clock, std::size_t maxBatchLength)
    : identity(std::move(identity)),
      clock(clock),
      maxBatchLength(maxBatchLength),
      lastReportTime(clock(nullptr)) {}

void AnalyticsCollector::recordTransaction(const TransactionInfo& info) {
  if (!enabled) return;
  std::string text;
  buildTransactionJson(text, info);
  // The brackets of a one-event batch must fit as well.
  if (maxBatchLength < 2 || text.size() > maxBatchLength - 2) {
    throw std::length_error("the transaction event is too long to report");
  }
  pendingTransactions.push_back(std::move(text));
}

bool AnalyticsCollector::dueAt(std::time_t now) const {
  if (!enabled || pendingTransactions.empty()) return false;
  // Written to stay clear of overflow for any clock value.
  constexpr std::time_t kLatest =
      std::numeric_limits<std::time_t>::max() - kReportIntervalSeconds;
  if (lastReportTime <= kLatest &&
      now > lastReportTime + kReportIntervalSeconds)
    return true;
  return pendingTransactions.size() > kBatchThreshold;
}

bool AnalyticsCollector::reportDue() const { return dueAt(clock(nullptr)); }

void AnalyticsCollector::reportTransactions(ReportFunction& report) {
  std::time_t now = clock(nullptr);
  if (!dueAt(now)) return;
  // Records made by the receiver go to the fresh buffer.
  std::list<std::string> batch;
  batch.swap(pendingTransactions);
  lastReportTime = now;
  while (!batch.empty()) {
    // Every text fits with its brackets (see recordTransaction), so each
    // array carries at least one.
    std::size_t length = 2;
    auto end = batch.begin();
    do {
      std::size_t more = end->size() + (end == batch.begin() ? 0 : 2);
      if (end != batch.begin() && more > maxBatchLength - length) break;
      length += more;
    } while (++end != batch.end());
    std::string text;
    try {
      text.reserve(length);
      text += '[';
      for (auto it = batch.begin(); it != end; ++it) {
        if (it != batch.begin()) text += ", ";
        text += *it;
      }
      text += ']';
    } catch (...) {
      // Nothing undelivered is lost: it goes back ahead of newer records.
      pendingTransactions.splice(pendingTransactions.begin(), batch);
      throw;
    }
    batch.erase(batch.begin(), end);
    if (!report(text.c_str())) return;
  }
}

void AnalyticsCollector::buildTransactionJson(
    std::string& out, const TransactionInfo& info) const {
  const TransactionContext& context = info.context;
  const HttpData& http = info.httpData;
  // Children made from these pairs; unnamed ones are array elements.
  static const Tree::value_type k_element("", kEmpty);
  KEY(application);
  KEY(applicationId);
  KEY(avgResponseTimeMillis);
  KEY(clientRequestGUID);
  KEY(entryPoint);
  KEY(eventTimestamp);
  KEY(exitCallType);
  KEY(exitCalls);
  KEY(httpData);
  KEY(node);
  KEY(nodeId);
  KEY(numberOfCalls);
  KEY(numberOfErrors);
  KEY(principal);
  KEY(requestExperience);
  KEY(requestGUID);
  KEY(segmentTimestamp);
  KEY(segments);
  KEY(sessionId);
  KEY(tier);
  KEY(tierId);
  KEY(transactionId);
  KEY(transactionName);
  KEY(transactionTime);
  KEY(url);
  Tree root;
  add(root, k_eventTimestamp, context.eventTimestamp);
  add(root, k_applicationId, identity->applicationId);
  add(root, k_application, identity->applicationName);
  add(root, k_requestGUID, context.requestGUID);
  add(root, k_transactionName, context.transactionName);
  add(root, k_transactionId, std::to_string(context.transactionId));

  // One unnamed child makes "segments" an array holding the segment.
  Tree& segment = add_child(add_child(root, k_segments), k_element);
  add(segment, k_segmentTimestamp, context.eventTimestamp);
  add(segment, k_tierId, identity->tierId);
  add(segment, k_tier, identity->tierName);
  add(segment, k_nodeId, identity->nodeId);
  add(segment, k_node, identity->nodeName);
  add(segment, k_requestExperience, context.requestExperience);
  add(segment, k_transactionTime, std::to_string(context.transactionTime));
  add(segment, k_entryPoint, context.entryPoint ? "true" : "false");
  add(segment, k_clientRequestGUID, context.clientRequestGUID);
  if (!info.exitCalls.empty()) {
    Tree& calls = add_child(segment, k_exitCalls);
    for (const ExitCall& call : info.exitCalls) {
      Tree& element = add_child(calls, k_element);
      add(element, k_exitCallType, call.exitCallType);
      add(element, k_avgResponseTimeMillis,
          std::to_string(call.avgResponseTimeMillis));
      add(element, k_numberOfCalls, std::to_string(call.numberOfCalls));
      add(element, k_numberOfErrors, std::to_string(call.numberOfErrors));
    }
  }
  Tree& httpData = add_child(segment, k_httpData);
  add(httpData, k_url, http.url);
  add(httpData, k_principal, http.principal);
  add(httpData, k_sessionId, http.sessionId);
  insertKeyValuePairs(httpData, "sessionObjects", http.sessionObjects);
  insertKeyValuePairs(httpData, "uriPathSegments", http.uriPathSegments);
  insertKeyValuePairs(httpData, "parameters", http.parameters);
  insertKeyValuePairs(httpData, "headers", http.headers);
  insertKeyValuePairs(httpData, "cookies", http.cookies);
  insertKeyValuePairs(segment, "userData", info.userData);

  // Printed into a buffer that keeps its capacity; the output gets an exact
  // copy, which is what the pending list keeps.
  printBuffer.clear();
  write_node(printBuffer, root, 0, true);
  printBuffer += '\n';
  std::string text(printBuffer);
  out.swap(text);
}

void AnalyticsCollector::insertKeyValuePairs(Tree& parent, std::string key,
                                             const StringMap& map) const {
  std::size_t prefix = key.size() + 1;
  key += '.';
  for (const auto& entry : map) {
    key.resize(prefix);
    key += entry.first;
    // An empty entry key would leave the path ending in the separator.
    place(parent, key, entry.second);
  }
}

}  // namespace agent
}  // namespace zeph
