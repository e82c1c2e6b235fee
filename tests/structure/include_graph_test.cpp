// The structure of the code, read from its own #include lines: units (a header with its
// source) depend on each other without cycles, and the map in ARCHITECTURE.md names only
// places that exist.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = QUELMAR_SOURCE_DIR;

// "include/quelmar/a/b.hpp" and "src/a/b.cpp" are one unit, "src/a/b".
std::string unit_of(const fs::path& relative) {
  std::string path = relative.generic_string();
  path = path.substr(0, path.rfind('.'));
  for (const std::string prefix : {"include/quelmar/", "include/"}) {
    if (path.starts_with(prefix)) return "src/" + path.substr(prefix.size());
  }
  return path;
}

class IncludeGraph {
 public:
  IncludeGraph() {
    for (const char* top : {"include", "src", "tools"}) {
      for (const auto& entry : fs::recursive_directory_iterator(kRoot / top)) {
        const auto extension = entry.path().extension();
        if (entry.is_regular_file() && (extension == ".cpp" || extension == ".hpp")) {
          files_.push_back(fs::relative(entry.path(), kRoot));
        }
      }
    }
    for (const fs::path& file : files_) read(file);
  }

  // Every cycle found by a depth-first walk, each as "a -> b -> a".
  std::vector<std::string> cycles() const {
    std::vector<std::string> found;
    std::map<std::string, int> state;  // 1: on the walk's path, 2: done
    std::vector<std::string> path;
    // An explicit stack: the walk must not depend on the depth of the graph.
    struct Frame {
      std::string unit;
      std::set<std::string>::const_iterator next;
    };
    static const std::set<std::string> kNone;
    const auto edges_of = [this](const std::string& unit) -> const std::set<std::string>& {
      const auto it = edges_.find(unit);
      return it == edges_.end() ? kNone : it->second;
    };
    for (const auto& [start, unused] : edges_) {
      if (state[start] != 0) continue;
      std::vector<Frame> stack{{start, edges_of(start).begin()}};
      state[start] = 1;
      path.push_back(start);
      while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == edges_of(top.unit).end()) {
          state[top.unit] = 2;
          path.pop_back();
          stack.pop_back();
          continue;
        }
        const std::string to = *top.next++;
        if (state[to] == 1) {
          std::string text;
          for (auto it = std::find(path.begin(), path.end(), to); it != path.end(); ++it) {
            text += *it + " -> ";
          }
          found.push_back(text + to);
        } else if (state[to] == 0) {
          state[to] = 1;
          path.push_back(to);
          stack.push_back({to, edges_of(to).begin()});
        }
      }
    }
    return found;
  }

  // Every unit that `start` depends on, directly or not.
  std::set<std::string> reachable(const std::string& start) const {
    std::set<std::string> seen;
    std::vector<std::string> todo{start};
    while (!todo.empty()) {
      const std::string unit = todo.back();
      todo.pop_back();
      const auto it = edges_.find(unit);
      if (it == edges_.end()) continue;
      for (const std::string& to : it->second) {
        if (seen.insert(to).second) todo.push_back(to);
      }
    }
    return seen;
  }

  std::vector<std::string> units() const {
    std::vector<std::string> all;
    for (const auto& [unit, unused] : edges_) all.push_back(unit);
    return all;
  }

 private:
  void read(const fs::path& file) {
    static const std::regex include(R"(^\s*#\s*include\s+"([^"]+)\")");
    std::ifstream in(kRoot / file);
    std::string line;
    const std::string from = unit_of(file);
    edges_[from];
    while (std::getline(in, line)) {
      std::smatch match;
      if (!std::regex_search(line, match, include)) continue;
      if (const auto target = resolve(file, match[1].str())) {
        const std::string to = unit_of(*target);
        if (to != from) edges_[from].insert(to);
      }
    }
  }

  // Where the compiler would find it: beside the file, under include/, src/ or tests/, or,
  // for the tools, beside another tool's sources.
  std::optional<fs::path> resolve(const fs::path& file, const std::string& name) const {
    for (const fs::path& base : {file.parent_path(), fs::path("include"), fs::path("src")}) {
      if (fs::exists(kRoot / base / name)) return (base / name).lexically_normal();
    }
    for (const fs::path& candidate : files_) {
      if (candidate.generic_string().starts_with("tools/") && candidate.filename() == name) {
        return candidate;
      }
    }
    return std::nullopt;
  }

  std::vector<fs::path> files_;
  std::map<std::string, std::set<std::string>> edges_;
};

TEST(Structure, NoUnitsDependOnEachOtherInACycle) {
  const std::vector<std::string> cycles = IncludeGraph().cycles();
  EXPECT_TRUE(cycles.empty()) << [&] {
    std::string text;
    for (const std::string& cycle : cycles) text += "\n  " + cycle;
    return "cycles:" + text;
  }();
}

// The inventory is text: reading one must not compile or link the platform's client or adapter,
// only the machine-name rule that bounds a serial.
TEST(Structure, TheInventoryDependsOnNothingOfThePlatform) {
  const IncludeGraph graph;
  int inventory_units = 0;
  for (const std::string& unit : graph.units()) {
    if (!unit.starts_with("src/orchestrate/fleet/inventory")) continue;
    ++inventory_units;
    for (const std::string& to : graph.reachable(unit)) {
      const bool platform =
          to.starts_with("src/corvane") || (to.starts_with("src/orchestrate/adapter/") &&
                                            to != "src/orchestrate/adapter/machine_name");
      EXPECT_FALSE(platform) << unit << " depends on " << to;
    }
  }
  EXPECT_GT(inventory_units, 0);
}

TEST(Structure, TheMapOfTheCodeNamesOnlyPlacesThatExist) {
  std::ifstream in(kRoot / "ARCHITECTURE.md");
  ASSERT_TRUE(in) << "ARCHITECTURE.md is missing";
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const std::regex place(R"(`((?:include|src|tools|tests|bench|fuzz|examples)/[^`\s]*)`)");
  int named = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), place), end; it != end; ++it) {
    ++named;
    EXPECT_TRUE(fs::exists(kRoot / (*it)[1].str())) << (*it)[1].str() << " does not exist";
  }
  EXPECT_GT(named, 0);
}

// The stand-in of the platform is built as any other user of the library would be: from the
// public headers and its own, never from the library's private ones under src/.
TEST(Structure, TheFakePlatformIncludesNoPrivateHeader) {
  static const std::regex include(R"(^\s*#\s*include\s+"([^"]+)\")");
  int read = 0;
  for (const auto& entry : fs::directory_iterator(kRoot / "tools/fake_fly")) {
    if (!entry.is_regular_file()) continue;
    ++read;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      std::smatch match;
      if (!std::regex_search(line, match, include)) continue;
      const std::string name = match[1].str();
      const bool own_or_public =
          fs::exists(entry.path().parent_path() / name) || fs::exists(kRoot / "include" / name);
      EXPECT_TRUE(own_or_public || !fs::exists(kRoot / "src" / name))
          << entry.path().filename().string() << " includes " << name;
    }
  }
  EXPECT_GT(read, 0);
}

}  // namespace
