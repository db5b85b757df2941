#include "profile_walk.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

namespace {

using vantarel::Screen;

struct FakeNode {
  std::string name;
  std::vector<const FakeNode*> children;

  int GetChildrenCount() const { return static_cast<int>(children.size()); }
  const FakeNode* GetChild(int i) const { return children[i]; }
};

// Builds a tree from text like "R(A(A1,A2),B)"; the pool owns the nodes.
const FakeNode* parse(const char*& text, std::deque<FakeNode>* pool) {
  FakeNode& node = pool->emplace_back();
  while (*text && *text != '(' && *text != ',' && *text != ')') {
    node.name += *text++;
  }
  if (*text == '(') {
    do node.children.push_back(parse(++text, pool));
    while (*text == ',');
    ++text;  // ')'
  }
  return &node;
}

// Walks a tree, dissolving the named nodes ("*": all), and answers the calls
// as text. stop_at names the call that stops the walk, e.g. "visit(R)".
std::vector<std::string> walk(const char* tree,
                              const std::set<std::string>& dissolve,
                              const std::string& stop_at = "") {
  std::deque<FakeNode> pool;
  const FakeNode* root = parse(tree, &pool);
  std::vector<std::string> calls;
  const bool finished = vantarel::walk_profile(
      root,
      [&](const FakeNode* node) {
        calls.push_back("filter(" + node->name + ")");
        if ("filter(" + node->name + ")" == stop_at) return Screen::kStop;
        return dissolve.count(node->name) || dissolve.count("*")
                   ? Screen::kDissolve
                   : Screen::kRetain;
      },
      [&](const FakeNode* node, int32_t retained) {
        calls.push_back("visit(" + node->name + "," + std::to_string(retained) +
                        ")");
        return "visit(" + node->name + ")" != stop_at;
      });
  EXPECT_EQ(finished, stop_at.empty());
  return calls;
}

using Calls = std::vector<std::string>;

TEST(ProfileWalk, FollowsTheReferenceExample) {
  EXPECT_EQ(walk("R(A(A1,A2),B(B1))", {"A"}),
            (Calls{"filter(A)", "filter(A1)", "filter(A2)", "filter(B)",
                   "visit(R,3)", "visit(A1,0)", "visit(A2,0)", "filter(B1)",
                   "visit(B,1)", "visit(B1,0)"}));
}

TEST(ProfileWalk, DissolvingEverythingVisitsTheRootAloneWithCountZero) {
  EXPECT_EQ(walk("R(A(A1,A2),B(B1))", {"*"}),
            (Calls{"filter(A)", "filter(A1)", "filter(A2)", "filter(B)",
                   "filter(B1)", "visit(R,0)"}));
}

TEST(ProfileWalk, RetainingEverythingIsBreadthFirstWithChildCounts) {
  EXPECT_EQ(walk("R(A(A1(X),A2),B,C(C1))", {}),
            (Calls{"filter(A)", "filter(B)", "filter(C)", "visit(R,3)",
                   "filter(A1)", "filter(A2)", "visit(A,2)", "visit(B,0)",
                   "filter(C1)", "visit(C,1)", "filter(X)", "visit(A1,1)",
                   "visit(A2,0)", "visit(C1,0)", "visit(X,0)"}));
}

// Nodes below dissolved ones are found depth first; a dissolved leaf adds
// nothing, so a count can exceed or fall short of the child count.
TEST(ProfileWalk, RetainedChildrenComeFromDissolvedDescendants) {
  EXPECT_EQ(walk("R(D(D1(x,y),leaf),z)", {"D", "D1", "leaf"}),
            (Calls{"filter(D)", "filter(D1)", "filter(x)", "filter(y)",
                   "filter(leaf)", "filter(z)", "visit(R,3)", "visit(x,0)",
                   "visit(y,0)", "visit(z,0)"}));
  EXPECT_EQ(walk("R(D(leaf))", {"D", "leaf"}),
            (Calls{"filter(D)", "filter(leaf)", "visit(R,0)"}));
}

TEST(ProfileWalk, AStopEndsTheWalkAtOnce) {
  EXPECT_EQ(walk("R(A(A1,A2),B(B1))", {}, "filter(A2)"),
            (Calls{"filter(A)", "filter(B)", "visit(R,2)", "filter(A1)",
                   "filter(A2)"}));
  EXPECT_EQ(walk("R(A(A1,A2),B(B1))", {"A"}, "visit(R)"),
            (Calls{"filter(A)", "filter(A1)", "filter(A2)", "filter(B)",
                   "visit(R,3)"}));
}

TEST(ProfileWalk, DeepDissolvedChainsNeedNoNativeRecursion) {
  std::deque<FakeNode> pool(200001);
  for (size_t i = 0; i + 1 < pool.size(); ++i) {
    pool[i].name = "d";
    pool[i].children = {&pool[i + 1]};
  }
  pool.back().name = "leaf";
  FakeNode root{"R", {&pool[0]}};
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
  EXPECT_EQ(visits, (Calls{"R1", "leaf0"}));
}

}  // namespace
