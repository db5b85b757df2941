// A transaction object as the package's script reads it, handed over flat:
// its numbers and text lengths in one array, in reading order, and all its
// texts in one string. Engine-free.
//
// The slots, in order:
//   entryPoint, transactionTime, |requestExperience|, |clientRequestGUID|,
//   |transactionName|, transactionId, |requestGUID|, |eventTimestamp|,
//   the number of exit calls, then for each: numberOfErrors, numberOfCalls,
//   avgResponseTimeMillis, |exitCallType|;
//   |sessionId|, |principal|, |url|;
//   for each map (sessionObjects, uriPathSegments, parameters, headers,
//   cookies, userData): its number of entries, then for each |value|, |key|.
// |x| is the length of text x in characters; the texts follow each other in
// the string in the same order.
#ifndef SRC_FLAT_TRANSACTION_H_
#define SRC_FLAT_TRANSACTION_H_

#include <cstddef>
#include <cstdint>

#include "transaction_record.h"

namespace vantarel {

// Fills the record, which starts empty. Char is char for Latin-1 texts or
// char16_t for UTF-16 ones. False when the slots do not describe exactly
// these texts; the record is then unspecified.
template <typename Char>
bool read_flat_transaction(const uint32_t* slots, std::size_t slot_count,
                           const Char* texts, std::size_t text_length,
                           zeph::agent::TransactionRecord* record);

// The same for texts that the record already keeps as one text, which must
// be ASCII without NUL: each text is then a slice of it, and no byte is
// copied.
bool read_flat_transaction(const uint32_t* slots, std::size_t slot_count,
                           zeph::agent::TransactionRecord::Text texts,
                           zeph::agent::TransactionRecord* record);

}  // namespace vantarel

#endif  // SRC_FLAT_TRANSACTION_H_
