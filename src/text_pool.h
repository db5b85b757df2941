// Buffers of delivered batches, kept for the next pending texts. A batch's
// buffer is owned by the script string made over it and comes back when the
// engine collects that string; writing the next texts into it spares mapping,
// faulting in and unmapping megabytes for every batch. Engine-free.
#ifndef SRC_TEXT_POOL_H_
#define SRC_TEXT_POOL_H_

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zeph {
namespace agent {

class TextPool {
 public:
  // Buffers larger than this are freed rather than kept.
  static constexpr std::size_t kMostKeptCapacity = std::size_t{1} << 26;
  // The engine releases dropped batches in bursts, at its collections, and
  // a batch may be due more than once between them.
  static constexpr std::size_t kMostKept = 4;

  // An empty text, in the largest kept buffer when there is one.
  std::string take() {
    std::string text;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!kept_.empty()) {
      text.swap(kept_.back());
      kept_.pop_back();
    }
    return text;
  }

  // Keeps text's buffer for a later take; of more than kMostKept buffers,
  // the smallest goes.
  void give(std::string&& text) {
    if (text.capacity() > kMostKeptCapacity) return;
    text.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    auto larger = [](const std::string& a, const std::string& b) {
      return a.capacity() < b.capacity();
    };
    kept_.insert(std::upper_bound(kept_.begin(), kept_.end(), text, larger),
                 std::move(text));
    if (kept_.size() > kMostKept) kept_.erase(kept_.begin());
  }

  std::size_t keptCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
  }

 private:
  // The engine may release a string off the thread that made it.
  std::mutex mutex_;
  std::vector<std::string> kept_;
};

}  // namespace agent
}  // namespace zeph

#endif  // SRC_TEXT_POOL_H_
