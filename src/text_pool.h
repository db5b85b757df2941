// Buffers of delivered batches, kept for the next pending texts. A batch's
// buffer is owned by the script string made over it and comes back when the
// engine collects that string; writing the next texts into it spares mapping,
// faulting in and unmapping megabytes for every batch. Engine-free.
#ifndef SRC_TEXT_POOL_H_
#define SRC_TEXT_POOL_H_

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
  // One buffer in flight and one being filled is the steady state.
  static constexpr std::size_t kMostKept = 2;

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

  // Keeps text's buffer for a later take.
  void give(std::string&& text) {
    if (text.capacity() > kMostKeptCapacity) return;
    text.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() == kMostKept) {
      // The smaller buffer goes.
      std::size_t smaller = kept_[0].capacity() < kept_[1].capacity() ? 0 : 1;
      if (kept_[smaller].capacity() >= text.capacity()) return;
      kept_[smaller].swap(text);
    } else {
      kept_.push_back(std::move(text));
    }
    // The largest last, for take.
    if (kept_.size() == 2 && kept_[0].capacity() > kept_[1].capacity()) {
      kept_[0].swap(kept_[1]);
    }
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
