// PprofProfile's messages, read back by a small protocol buffers reader of
// the test's own that accepts only what the encoder should write.
#include "pprof_profile.h"
#include "pprof_tree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vantarel::PprofProfile;

struct Field {
  uint32_t number;
  uint64_t varint;         // when the wire type is varint
  std::string_view bytes;  // when it is length-delimited
  bool delimited;
};

bool read_varint(std::string_view* in, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 70 && !in->empty(); shift += 7) {
    const auto byte = static_cast<uint8_t>(in->front());
    in->remove_prefix(1);
    *value |= uint64_t{byte & 0x7fu} << shift;
    if (byte < 0x80) return true;
  }
  return false;
}

// The fields of one message in order; adds a failure on malformed input.
std::vector<Field> fields_of(std::string_view message) {
  std::vector<Field> fields;
  while (!message.empty()) {
    uint64_t tag = 0, value = 0;
    if (!read_varint(&message, &tag) || !read_varint(&message, &value)) {
      ADD_FAILURE() << "truncated varint";
      break;
    }
    Field field{static_cast<uint32_t>(tag >> 3), value, {}, false};
    if ((tag & 7) == 2) {
      if (value > message.size()) {
        ADD_FAILURE() << "length past the end";
        break;
      }
      field = Field{field.number, 0, message.substr(0, value), true};
      message.remove_prefix(value);
    } else if ((tag & 7) != 0) {
      ADD_FAILURE() << "unexpected wire type " << (tag & 7);
      break;
    }
    fields.push_back(field);
  }
  return fields;
}

std::vector<uint64_t> packed(std::string_view bytes) {
  std::vector<uint64_t> values;
  uint64_t value = 0;
  while (!bytes.empty() && read_varint(&bytes, &value)) values.push_back(value);
  return values;
}

struct Decoded {
  struct Sample {
    std::vector<uint64_t> locations;
    std::vector<int64_t> values;
  };
  struct Location {
    uint64_t id = 0, function_id = 0;
    int64_t line = 0;
  };
  struct Function {
    uint64_t id, name, system_name, file;
    int64_t start_line;
  };
  std::vector<std::string> strings;
  std::vector<std::string> sample_types;  // "type/unit"
  std::string period_type;
  int64_t period = 0, time_nanos = 0, duration_nanos = 0;
  std::vector<Sample> samples;
  std::vector<Location> locations;
  std::vector<Function> functions;
};

// The message's ValueType as "type/unit", through the string table.
std::string value_type(std::string_view message, const Decoded& profile) {
  std::string type, unit;
  for (const Field& field : fields_of(message)) {
    (field.number == 1 ? type : unit) = profile.strings.at(field.varint);
  }
  return type + "/" + unit;
}

Decoded decode(const std::string& message) {
  Decoded profile;
  const std::vector<Field> fields = fields_of(message);
  for (const Field& field : fields) {
    if (field.number == 6) profile.strings.emplace_back(field.bytes);
  }
  for (const Field& field : fields) {
    // Messages, strings and packed numbers are length-delimited; the
    // profile's own numbers are single varints.
    EXPECT_EQ(field.delimited, field.number <= 6 || field.number == 11)
        << "field " << field.number;
    if (field.number == 1) {
      profile.sample_types.push_back(value_type(field.bytes, profile));
    } else if (field.number == 2) {
      Decoded::Sample& sample = profile.samples.emplace_back();
      for (const Field& inner : fields_of(field.bytes)) {
        EXPECT_TRUE(inner.delimited);
        for (uint64_t value : packed(inner.bytes)) {
          if (inner.number == 1) sample.locations.push_back(value);
          if (inner.number == 2) {
            sample.values.push_back(static_cast<int64_t>(value));
          }
        }
      }
    } else if (field.number == 4) {
      Decoded::Location& location = profile.locations.emplace_back();
      for (const Field& inner : fields_of(field.bytes)) {
        if (inner.number == 1) location.id = inner.varint;
        if (inner.number != 4) continue;
        for (const Field& line : fields_of(inner.bytes)) {
          if (line.number == 1) location.function_id = line.varint;
          if (line.number == 2)
            location.line = static_cast<int64_t>(line.varint);
        }
      }
    } else if (field.number == 5) {
      uint64_t values[6] = {};
      for (const Field& inner : fields_of(field.bytes)) {
        if (inner.number < 6) values[inner.number] = inner.varint;
      }
      profile.functions.push_back(
          Decoded::Function{values[1], values[2], values[3], values[4],
                            static_cast<int64_t>(values[5])});
    } else if (field.number == 9) {
      profile.time_nanos = static_cast<int64_t>(field.varint);
    } else if (field.number == 10) {
      profile.duration_nanos = static_cast<int64_t>(field.varint);
    } else if (field.number == 11) {
      profile.period_type = value_type(field.bytes, profile);
    } else if (field.number == 12) {
      profile.period = static_cast<int64_t>(field.varint);
    } else if (field.number != 6) {
      ADD_FAILURE() << "unexpected field " << field.number;
    }
  }
  return profile;
}

// The message, checked to fill exactly the size the profile announces.
std::string encoded(const PprofProfile& profile) {
  const std::string message = profile.encode();
  EXPECT_EQ(message.size(), profile.encoded_size());
  std::string written(profile.encoded_size() + 1, '\x5a');
  EXPECT_EQ(profile.write(&written[0]), &written[0] + message.size());
  EXPECT_EQ(written.back(), '\x5a');
  written.pop_back();
  EXPECT_EQ(written, message);
  return message;
}

PprofProfile cpu_profile() {
  return PprofProfile({{"samples", "count"}, {"wall", "nanoseconds"}},
                      {"wall", "nanoseconds"}, 1000);
}

std::string name_of(const Decoded& profile, uint64_t function_id) {
  return profile.strings.at(profile.functions.at(function_id - 1).name);
}

TEST(PprofProfile, StringTableStartsEmptyAndHoldsEachStringOnce) {
  PprofProfile profile = cpu_profile();
  profile.function("main", "/app/a.js", 1);
  profile.function("wall", "/app/a.js", 7);
  profile.function("", "", 0);
  profile.function("main", "/app/b.js", 1);
  const Decoded decoded = decode(encoded(profile));
  ASSERT_FALSE(decoded.strings.empty());
  EXPECT_EQ(decoded.strings[0], "");
  const std::set<std::string> distinct(decoded.strings.begin(),
                                       decoded.strings.end());
  EXPECT_EQ(distinct.size(), decoded.strings.size());
  EXPECT_EQ(distinct, (std::set<std::string>{"", "samples", "count", "wall",
                                             "nanoseconds", "main", "/app/a.js",
                                             "/app/b.js"}));
  // Empty names and files are the empty string, which proto3 leaves out.
  EXPECT_EQ(decoded.functions.at(2).name, 0u);
  EXPECT_EQ(decoded.functions.at(2).file, 0u);
}

TEST(PprofProfile, FunctionsAreOneIdPerNameFileAndStartLine) {
  PprofProfile profile = cpu_profile();
  const uint64_t main = profile.function("main", "/app/a.js", 10);
  EXPECT_EQ(main, 1u);
  EXPECT_EQ(profile.function("main", "/app/a.js", 10), main);
  const uint64_t others[] = {profile.function("main", "/app/b.js", 10),
                             profile.function("main", "/app/a.js", 11),
                             profile.function("Main", "/app/a.js", 10),
                             profile.function("/app/a.js", "main", 10)};
  EXPECT_EQ(std::set<uint64_t>(std::begin(others), std::end(others)),
            (std::set<uint64_t>{2, 3, 4, 5}));
  EXPECT_EQ(profile.function("main", "/app/a.js", 11), others[1]);

  const Decoded decoded = decode(encoded(profile));
  ASSERT_EQ(decoded.functions.size(), 5u);
  for (size_t i = 0; i < decoded.functions.size(); ++i) {
    const Decoded::Function& function = decoded.functions[i];
    EXPECT_EQ(function.id, i + 1);
    EXPECT_EQ(function.system_name, function.name);
  }
  const Decoded::Function& last = decoded.functions[4];
  EXPECT_EQ(decoded.strings.at(last.name), "/app/a.js");
  EXPECT_EQ(decoded.strings.at(last.file), "main");
  EXPECT_EQ(last.start_line, 10);
}

TEST(PprofProfile, FunctionsFoundByAddressShareIdsWithThoseFoundByText) {
  PprofProfile profile = cpu_profile();
  const char name[] = "main";
  const char file[] = "/app/a.js";
  const std::string same_name(name), same_file(file);
  const uint64_t main = profile.function_at(name, file, 10);
  EXPECT_EQ(profile.function_at(name, file, 10), main);
  EXPECT_EQ(profile.function_at(same_name.c_str(), same_file.c_str(), 10),
            main);
  EXPECT_EQ(profile.function("main", "/app/a.js", 10), main);
  EXPECT_NE(profile.function_at(name, file, 11), main);
  EXPECT_EQ(profile.function_at(nullptr, nullptr, 0),
            profile.function("", "", 0));
  EXPECT_EQ(decode(encoded(profile)).functions.size(), 3u);
}

TEST(PprofProfile, LocationsAreOneIdPerFunctionAndLineWrittenAsIs) {
  PprofProfile profile = cpu_profile();
  const uint64_t main = profile.function("main", "/app/a.js", 1);
  const uint64_t helper = profile.function("helper", "/app/a.js", 9);
  const uint64_t at_3 = profile.location(main, 3);
  EXPECT_EQ(profile.location(main, 3), at_3);
  const uint64_t others[] = {
      profile.location(main, 4), profile.location(helper, 3),
      profile.location(main, 0), profile.location(main, -1)};
  EXPECT_EQ(std::set<uint64_t>(std::begin(others), std::end(others)),
            (std::set<uint64_t>{2, 3, 4, 5}));
  EXPECT_EQ(profile.location(main, -1), others[3]);

  const Decoded decoded = decode(encoded(profile));
  ASSERT_EQ(decoded.locations.size(), 5u);
  const std::pair<uint64_t, int64_t> expected[] = {
      {main, 3}, {main, 4}, {helper, 3}, {main, 0}, {main, -1}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(decoded.locations[i].id, i + 1);
    EXPECT_EQ(decoded.locations[i].function_id, expected[i].first);
    EXPECT_EQ(decoded.locations[i].line, expected[i].second);
  }
}

TEST(PprofProfile, SamplesKeepTheirStacksLeafFirstAndTheirValues) {
  PprofProfile profile = cpu_profile();
  const uint64_t root = profile.location(profile.function("root", "", 0), 0);
  const uint64_t main = profile.location(profile.function("main", "", 0), 0);
  const uint64_t hot = profile.location(profile.function("hot", "", 0), 0);
  const uint64_t stack[] = {hot, main, root};
  const int64_t hot_values[] = {3, 3000};
  const int64_t zero_values[] = {0, 0};
  profile.sample(stack, 3, hot_values);
  profile.sample(nullptr, 0, zero_values);
  profile.sample(stack + 1, 2, zero_values);

  const Decoded decoded = decode(encoded(profile));
  ASSERT_EQ(decoded.samples.size(), 3u);
  EXPECT_EQ(decoded.samples[0].locations,
            (std::vector<uint64_t>{hot, main, root}));
  EXPECT_EQ(decoded.samples[0].values, (std::vector<int64_t>{3, 3000}));
  EXPECT_TRUE(decoded.samples[1].locations.empty());
  EXPECT_EQ(decoded.samples[1].values, (std::vector<int64_t>{0, 0}));
  EXPECT_EQ(decoded.samples[2].locations, (std::vector<uint64_t>{main, root}));
  EXPECT_EQ(name_of(decoded, decoded.locations.at(hot - 1).function_id), "hot");
}

TEST(PprofProfile, TypesPeriodAndTimesRoundTrip) {
  PprofProfile profile({{"objects", "count"}, {"space", "bytes"}},
                       {"space", "bytes"}, 524288);
  profile.set_time_nanos(1700000000123456789);
  profile.set_duration_nanos(60000000000);
  const Decoded decoded = decode(encoded(profile));
  EXPECT_EQ(decoded.sample_types,
            (std::vector<std::string>{"objects/count", "space/bytes"}));
  EXPECT_EQ(decoded.period_type, "space/bytes");
  EXPECT_EQ(decoded.period, 524288);
  EXPECT_EQ(decoded.time_nanos, 1700000000123456789);
  EXPECT_EQ(decoded.duration_nanos, 60000000000);
}

TEST(PprofProfile, VarintsTakeTheirShortestFormAndNegativesTen) {
  PprofProfile profile({{"a", "count"},
                        {"b", "count"},
                        {"c", "count"},
                        {"d", "count"},
                        {"e", "count"},
                        {"f", "count"},
                        {"g", "count"}},
                       {"a", "count"}, -1);
  const int64_t values[] = {0,
                            127,
                            128,
                            int64_t{1} << 32,
                            std::numeric_limits<int64_t>::max(),
                            -1,
                            std::numeric_limits<int64_t>::min()};
  profile.sample(nullptr, 0, values);
  // Not ids that location() gives, but any number is written alike.
  const uint64_t stack[] = {0, 127, 128, uint64_t{1} << 32, UINT64_MAX};
  profile.sample(stack, 5, values);
  const std::string message = encoded(profile);
  const Decoded decoded = decode(message);
  ASSERT_EQ(decoded.samples.size(), 2u);
  EXPECT_EQ(decoded.samples[0].values,
            std::vector<int64_t>(std::begin(values), std::end(values)));
  EXPECT_EQ(decoded.samples[1].locations,
            std::vector<uint64_t>(std::begin(stack), std::end(stack)));
  EXPECT_EQ(decoded.period, -1);
  // Values: 1 + 1 + 2 + 5 + 9 + 10 + 10 bytes; ids: 1 + 1 + 2 + 5 + 10.
  std::vector<size_t> packed_sizes;
  for (const Field& field : fields_of(message)) {
    if (field.number != 2) continue;
    for (const Field& inner : fields_of(field.bytes)) {
      packed_sizes.push_back(inner.bytes.size());
    }
  }
  EXPECT_EQ(packed_sizes, (std::vector<size_t>{38, 19, 38}));
}

TEST(PprofProfile, StringsKeepEveryByte) {
  PprofProfile profile = cpu_profile();
  const std::string name("a\0b\xff\xc3\xa9", 6);
  const std::string long_file(300, 'f');
  profile.function(name, long_file, 1);
  profile.function(std::string_view(name.data(), 1), long_file, 1);
  const Decoded decoded = decode(encoded(profile));
  ASSERT_EQ(decoded.functions.size(), 2u);
  EXPECT_EQ(name_of(decoded, 1), name);
  EXPECT_EQ(name_of(decoded, 2), "a");
  EXPECT_EQ(decoded.strings.at(decoded.functions[0].file), long_file);
}

TEST(PprofProfile, LargeProfileDecodesWhole) {
  constexpr size_t kSamples = 10000;
  constexpr size_t kDepth = 30;
  PprofProfile profile = cpu_profile();
  // Reserving too little only costs growing.
  profile.reserve(100, 100, 100, 1000);
  std::vector<uint64_t> stack(kDepth);
  uint64_t frames = 0;
  for (size_t i = 0; i < kSamples; ++i) {
    // 1,000 functions in 10 files; the stack walks down from the sample's own.
    for (size_t level = 0; level < kDepth; ++level) {
      const size_t function = (i + level) % 1000;
      stack[level] = profile.location(
          profile.function("f" + std::to_string(function),
                           "/app/" + std::to_string(function % 10) + ".js",
                           static_cast<int64_t>(function)),
          static_cast<int64_t>(level));
    }
    const size_t depth = i % (kDepth + 1);
    const int64_t values[] = {1, static_cast<int64_t>(i) * 1000};
    profile.sample(stack.data(), depth, values);
    frames += depth;
  }
  const Decoded decoded = decode(encoded(profile));
  EXPECT_EQ(decoded.functions.size(), 1000u);
  EXPECT_EQ(decoded.locations.size(), 1000u * kDepth);
  EXPECT_EQ(decoded.strings.size(), 1u + 4 + 1000 + 10);
  ASSERT_EQ(decoded.samples.size(), kSamples);
  uint64_t decoded_frames = 0;
  for (const Decoded::Sample& sample : decoded.samples) {
    decoded_frames += sample.locations.size();
  }
  EXPECT_EQ(decoded_frames, frames);
  const Decoded::Sample& last = decoded.samples.back();
  ASSERT_EQ(last.locations.size(), (kSamples - 1) % (kDepth + 1));
  EXPECT_EQ(last.values, (std::vector<int64_t>{
                             1, static_cast<int64_t>(kSamples - 1) * 1000}));
  const Decoded::Location& leaf = decoded.locations.at(last.locations[0] - 1);
  EXPECT_EQ(name_of(decoded, leaf.function_id), "f999");
  EXPECT_EQ(leaf.line, 0);
}

// A call tree of named nodes with hits of their own.
struct TreeNode {
  std::string name;
  int64_t hits;
  std::vector<const TreeNode*> children;
  int GetChildrenCount() const { return static_cast<int>(children.size()); }
  const TreeNode* GetChild(int i) const { return children[i]; }
};

TEST(PprofTree, EveryNodeWithValuesIsASampleOfItsPathLeafFirst) {
  // root -> main(0) -> { handle(2) -> hot(5), idle(1) }, and a chain deeper
  // than any native stack would allow a recursive walk.
  TreeNode hot{"hot", 5, {}}, handle{"handle", 2, {&hot}}, idle{"idle", 1, {}};
  TreeNode main{"main", 0, {&handle, &idle}};
  std::vector<TreeNode> chain(200000);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    chain[i] = {"deep", 0, {&chain[i + 1]}};
  }
  chain.back() = {"bottom", 1, {}};
  TreeNode root{"(root)", 7, {&main, &chain[0]}};
  PprofProfile profile = cpu_profile();
  vantarel::add_tree_samples(
      &profile, &root, 2,
      [&](const TreeNode* node) {
        return profile.location(profile.function(node->name, "/a.js", 1), 1);
      },
      [](const TreeNode* node, int64_t* out) {
        out[0] = node->hits;
        out[1] = node->hits * 1000;
        return node->hits != 0;
      });
  const Decoded decoded = decode(encoded(profile));
  std::vector<std::string> stacks;
  for (const Decoded::Sample& sample : decoded.samples) {
    std::string stack;
    for (size_t i = 0; i < sample.locations.size() && i < 3; ++i) {
      const uint64_t function =
          decoded.locations.at(sample.locations[i] - 1).function_id;
      stack += (i ? "<" : "") + name_of(decoded, function);
    }
    stacks.push_back(stack + " " + std::to_string(sample.values[0]) + "/" +
                     std::to_string(sample.values[1]) + " depth " +
                     std::to_string(sample.locations.size()));
  }
  EXPECT_EQ(stacks, (std::vector<std::string>{
                        "handle<main 2/2000 depth 2",
                        "hot<handle<main 5/5000 depth 3",
                        "idle<main 1/1000 depth 2",
                        "bottom<deep<deep 1/1000 depth 200000",
                    }));
}

}  // namespace
