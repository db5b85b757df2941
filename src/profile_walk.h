// The order in which a profile's call tree is shown to script. Engine-free:
// a tree's nodes are reached through ProfileTree<Node>, which by default
// asks the node's GetChildrenCount() and GetChild(int), so tests can drive
// it over a tree of their own.
#ifndef SRC_PROFILE_WALK_H_
#define SRC_PROFILE_WALK_H_

#include <cstdint>
#include <list>
#include <utility>
#include <vector>

namespace vantarel {

// How the children of a call tree's node are reached; specialised for a
// node type that does not have the engine's CPU profile node's methods.
template <typename Node>
struct ProfileTree {
  static int ChildCount(const Node* node) { return node->GetChildrenCount(); }
  static const Node* Child(const Node* node, int i) {
    return node->GetChild(i);
  }
};

// The filter's answer for one node.
enum class Screen {
  kRetain,    // queue the node for a visit
  kDissolve,  // look at its children in its place
  kStop,      // end the walk now (the filter threw)
};

// Front is where nodes go in, back is where they come out: first in, first
// out.
template <typename Node>
using PendingQueue = std::list<const Node*>;

// Screens `node` and, for every node the filter dissolves, its children in
// depth-first, index-ascending order. Retained nodes are queued at the
// front; *found receives how many. Dissolved chains are followed with an
// explicit stack, as profile trees can be deeper than the native stack
// allows. Answers false when the filter asked to stop.
template <typename Node, typename Filter>
bool push_node(const Node* node, PendingQueue<Node>* queue, Filter& filter,
               int32_t* found) {
  *found = 0;
  Screen answer = filter(node);
  if (answer == Screen::kStop) return false;
  if (answer == Screen::kRetain) {
    queue->push_front(node);
    *found = 1;
    return true;
  }
  // Each entry: a dissolved node and the index of its next child to screen.
  std::vector<std::pair<const Node*, int>> dissolved{{node, 0}};
  while (!dissolved.empty()) {
    auto& top = dissolved.back();
    if (top.second >= ProfileTree<Node>::ChildCount(top.first)) {
      dissolved.pop_back();
      continue;
    }
    const Node* child = ProfileTree<Node>::Child(top.first, top.second++);
    answer = filter(child);
    if (answer == Screen::kStop) return false;
    if (answer == Screen::kRetain) {
      queue->push_front(child);
      ++*found;
    } else {
      dissolved.emplace_back(child, 0);
    }
  }
  return true;
}

// Visits the root, then the retained nodes breadth first. Before a node is
// visited, its children are screened; the visitor gets the node and the
// number of retained nodes that screening found below it. visitor answers
// false to stop. Answers false when the filter or the visitor stopped it.
template <typename Node, typename Filter, typename Visitor>
bool walk_profile(const Node* root, Filter&& filter, Visitor&& visitor) {
  if (root == nullptr) return true;
  PendingQueue<Node> queue{root};
  while (!queue.empty()) {
    const Node* node = queue.back();
    queue.pop_back();
    int32_t retained = 0;
    const int children = ProfileTree<Node>::ChildCount(node);
    for (int i = 0; i < children; ++i) {
      int32_t found;
      if (!push_node(ProfileTree<Node>::Child(node, i), &queue, filter,
                     &found)) {
        return false;
      }
      retained += found;
    }
    if (!visitor(node, retained)) return false;
  }
  return true;
}

}  // namespace vantarel

#endif  // SRC_PROFILE_WALK_H_
