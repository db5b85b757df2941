// A profile's call tree as pprof samples: every node with values of its own
// is one sample, whose stack is the node's path from the root, leaf first.
// Engine-free: nodes are reached through ProfileTree<Node>, so tests can
// drive it over a tree of their own.
#ifndef SRC_PPROF_TREE_H_
#define SRC_PPROF_TREE_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "pprof_profile.h"
#include "profile_walk.h"

namespace vantarel {

// location(node) answers the node's location id in profile; values(node,
// out) writes one value per sample type to out and answers whether the
// node has any of its own. The root stands for no frame and has none.
// Depth first, with a stack of its own: call trees can be deeper than the
// native stack allows.
template <typename Node, typename Location, typename Values>
void add_tree_samples(PprofProfile* profile, const Node* root,
                      std::size_t value_count, Location&& location,
                      Values&& values) {
  using Tree = ProfileTree<Node>;
  if (root == nullptr) return;
  // The nodes from the root down to the current one, each with the index of
  // its next child; ids holds their location ids (the root's is unused).
  std::vector<std::pair<const Node*, int>> path{{root, 0}};
  std::vector<uint64_t> ids{0};
  std::vector<uint64_t> stack;
  std::vector<int64_t> own(value_count);
  while (!path.empty()) {
    auto& [node, next] = path.back();
    if (next == Tree::ChildCount(node)) {
      path.pop_back();
      ids.pop_back();
      continue;
    }
    const Node* child = Tree::Child(node, next++);
    ids.push_back(location(child));
    if (values(child, own.data())) {
      stack.assign(ids.rbegin(), ids.rend() - 1);
      profile->sample(stack.data(), stack.size(), own.data());
    }
    path.emplace_back(child, 0);
  }
}

}  // namespace vantarel

#endif  // SRC_PPROF_TREE_H_
