#include "profile_walk.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using vantarel::Screen;

struct FakeNode {
  std::string name;
  std::vector<FakeNode> children;

  int GetChildrenCount() const { return static_cast<int>(children.size()); }
  const FakeNode* GetChild(int i) const { return &children[i]; }
};

// Records every call as text and answers from a set of dissolved names.
struct Recorder {
  std::set<std::string> dissolve;
  bool dissolve_all = false;
  std::string stop_filter_at;
  std::string stop_visit_at;
  std::vector<std::string> calls;

  bool walk(const FakeNode& root) {
    return vantarel::walk_profile(
        &root,
        [this](const FakeNode* node) {
          calls.push_back("filter(" + node->name + ")");
          if (node->name == stop_filter_at) return Screen::kStop;
          return dissolve_all || dissolve.count(node->name) ? Screen::kDissolve
                                                            : Screen::kRetain;
        },
        [this](const FakeNode* node, int32_t retained) {
          calls.push_back("visit(" + node->name + "," +
                          std::to_string(retained) + ")");
          return node->name != stop_visit_at;
        });
  }
};

FakeNode example_tree() {
  return {"R",
          {{"A", {{"A1", {}}, {"A2", {}}}},  //
           {"B", {{"B1", {}}}}}};
}

TEST(ProfileWalk, FollowsTheReferenceExample) {
  Recorder recorder;
  recorder.dissolve = {"A"};
  EXPECT_TRUE(recorder.walk(example_tree()));
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"filter(A)", "filter(A1)", "filter(A2)",
                                      "filter(B)", "visit(R,3)", "visit(A1,0)",
                                      "visit(A2,0)", "filter(B1)", "visit(B,1)",
                                      "visit(B1,0)"}));
}

TEST(ProfileWalk, DissolvingEverythingVisitsTheRootAlone) {
  Recorder recorder;
  recorder.dissolve_all = true;
  recorder.walk(example_tree());
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{
                                "filter(A)", "filter(A1)", "filter(A2)",
                                "filter(B)", "filter(B1)", "visit(R,0)"}));
}

TEST(ProfileWalk, RetainingEverythingVisitsBreadthFirstWithChildCounts) {
  FakeNode root{"R",
                {{"A", {{"A1", {{"A1a", {}}}}, {"A2", {}}}},
                 {"B", {}},
                 {"C", {{"C1", {}}}}}};
  Recorder recorder;
  recorder.walk(root);
  std::vector<std::string> visits;
  for (const std::string& call : recorder.calls) {
    if (call.rfind("visit", 0) == 0) visits.push_back(call);
  }
  EXPECT_EQ(visits,
            (std::vector<std::string>{
                "visit(R,3)", "visit(A,2)", "visit(B,0)", "visit(C,1)",
                "visit(A1,1)", "visit(A2,0)", "visit(C1,0)", "visit(A1a,0)"}));
}

// Dissolved nodes hand their place to the nodes found below them, in
// depth-first order, and a dissolved leaf adds nothing.
TEST(ProfileWalk, RetainedChildrenComeFromDissolvedDescendants) {
  FakeNode root{
      "R", {{"D", {{"D1", {{"x", {}}, {"y", {}}}}, {"leaf", {}}}}, {"z", {}}}};
  Recorder recorder;
  recorder.dissolve = {"D", "D1", "leaf"};
  recorder.walk(root);
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"filter(D)", "filter(D1)", "filter(x)",
                                      "filter(y)", "filter(leaf)", "filter(z)",
                                      "visit(R,3)", "visit(x,0)", "visit(y,0)",
                                      "visit(z,0)"}));
}

TEST(ProfileWalk, RetainedCountsSumToVisitsMinusOne) {
  FakeNode root{"R", {}};
  // A bushy tree of 4 levels, 3 children each.
  std::vector<FakeNode*> level{&root};
  for (int depth = 0; depth < 4; ++depth) {
    std::vector<FakeNode*> next;
    for (FakeNode* node : level) {
      for (int i = 0; i < 3; ++i) {
        node->children.push_back({node->name + std::to_string(i), {}});
      }
      for (FakeNode& child : node->children) next.push_back(&child);
    }
    level = next;
  }
  Recorder recorder;
  recorder.dissolve = {"R0", "R1", "R00", "R210", "R2220", "R22"};
  recorder.walk(root);
  int visits = 0;
  long sum = 0;
  for (const std::string& call : recorder.calls) {
    if (call.rfind("visit", 0) != 0) continue;
    ++visits;
    sum += std::stol(call.substr(call.find(',') + 1));
  }
  EXPECT_EQ(sum, visits - 1);
  EXPECT_EQ(recorder.calls.size() - visits, 120u);  // every non-root filtered
}

TEST(ProfileWalk, AStoppingFilterEndsTheWalkAtOnce) {
  Recorder recorder;
  recorder.stop_filter_at = "A2";
  EXPECT_FALSE(recorder.walk(example_tree()));
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"filter(A)", "filter(B)", "visit(R,2)",
                                      "filter(A1)", "filter(A2)"}));
}

TEST(ProfileWalk, AStoppingVisitorEndsTheWalkAtOnce) {
  Recorder recorder;
  recorder.stop_visit_at = "A";
  EXPECT_FALSE(recorder.walk(example_tree()));
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{
                                "filter(A)", "filter(B)", "visit(R,2)",
                                "filter(A1)", "filter(A2)", "visit(A,2)"}));
}

TEST(ProfileWalk, NoRootMeansNoCalls) {
  int calls = 0;
  EXPECT_TRUE(vantarel::walk_profile(
      static_cast<const FakeNode*>(nullptr),
      [&](const FakeNode*) { return ++calls, Screen::kRetain; },
      [&](const FakeNode*, int32_t) { return ++calls, true; }));
  EXPECT_EQ(calls, 0);
}

TEST(ProfileWalk, DeepDissolvedChainsNeedNoNativeRecursion) {
  constexpr int kDepth = 200000;
  // Linked from the bottom up so each node owns the next one.
  FakeNode root{"R", {}};
  FakeNode below{"leaf", {}};
  for (int i = 0; i < kDepth; ++i) {
    FakeNode node{"d", {}};
    node.children.push_back(std::move(below));
    below = std::move(node);
  }
  root.children.push_back(std::move(below));
  std::vector<std::string> visits;
  vantarel::walk_profile(
      &root,
      [](const FakeNode* node) {
        return node->name == "d" ? Screen::kDissolve : Screen::kRetain;
      },
      [&](const FakeNode* node, int32_t retained) {
        visits.push_back(node->name + std::to_string(retained));
        return true;
      });
  EXPECT_EQ(visits, (std::vector<std::string>{"R1", "leaf0"}));
  // Unlink iteratively: the recursive destructor would overflow the stack.
  std::vector<FakeNode> drop;
  drop.push_back(std::move(root));
  while (!drop.back().children.empty()) {
    FakeNode next = std::move(drop.back().children.front());
    drop.back().children.clear();
    drop.push_back(std::move(next));
  }
}

}  // namespace
