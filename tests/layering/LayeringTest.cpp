#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

// The src/ folders, bottom up. A folder may include itself and anything on a lower level; folders
// sharing a level are peers and stay independent of each other.
const std::vector<std::vector<std::string>> kLayers = {
    {"util"}, {"model"},    {"platform", "net"}, {"lexicon", "system", "audio", "sherpa"}, {"llm"}, {"core"},
    {"ui"},   {"selftest"}, {"app"}};

// Deliberate peer includes: audio drives local recognition through the sherpa bridge.
const std::set<std::pair<std::string, std::string>> kPeerExceptions = {{"audio", "sherpa"}};

// The Linux backends are wired in by app alone; everyone else sees the platform interfaces.
const std::string kLinuxBackends = "platform/linux/";

struct Include {
    std::string file; // relative to src/
    int line = 0;
    std::string header;
};

using FolderGraph = std::map<std::string, std::map<std::string, const Include*>>;

std::string firstComponent(const std::string& path)
{
    return path.substr(0, path.find('/'));
}

std::optional<std::size_t> levelOf(const std::string& folder)
{
    for (std::size_t level = 0; level < kLayers.size(); ++level)
        if (std::ranges::find(kLayers[level], folder) != kLayers[level].end())
            return level;
    return std::nullopt;
}

std::string where(const Include& include)
{
    return "src/" + include.file + ":" + std::to_string(include.line) + " includes \"" + include.header +
           "\"";
}

// Reports each cycle once, at the include that closes it, with one include per edge as evidence.
void findCycles(const FolderGraph& graph, std::vector<std::string>& out)
{
    std::map<std::string, int> state; // absent: unvisited, 1: on the path, 2: finished
    std::vector<std::string> path;
    std::function<void(const std::string&)> visit = [&](const std::string& folder) {
        state[folder] = 1;
        path.push_back(folder);
        if (const auto edges = graph.find(folder); edges != graph.end()) {
            for (const auto& [next, witness] : edges->second) {
                if (state[next] == 0) {
                    visit(next);
                } else if (state[next] == 1) {
                    std::string cycle = "folder cycle:", evidence;
                    for (auto at = std::ranges::find(path, next); at != path.end(); ++at) {
                        const std::string& to = at + 1 == path.end() ? next : *(at + 1);
                        cycle += " " + *at + " ->";
                        evidence += "; " + where(*graph.at(*at).at(to));
                    }
                    out.push_back(cycle + " " + next + " (" + evidence.substr(2) + ")");
                }
            }
        }
        path.pop_back();
        state[folder] = 2;
    };
    for (const auto& entry : graph)
        if (state[entry.first] == 0)
            visit(entry.first);
}

// folders: the directories directly under src/. Includes of anything else (Qt, third-party,
// same-directory headers) are not layering concerns and pass.
std::vector<std::string> findViolations(const std::vector<std::string>& folders,
                                        const std::vector<Include>& includes)
{
    std::vector<std::string> out;
    std::set<std::string> srcFolders(folders.begin(), folders.end());
    for (const auto& include : includes)
        srcFolders.insert(firstComponent(include.file));
    for (const auto& folder : srcFolders)
        if (!levelOf(folder))
            out.push_back("src/" + folder + ": folder " + folder + " has no layer");

    FolderGraph graph;
    for (const auto& include : includes) {
        const std::string from = firstComponent(include.file), to = firstComponent(include.header);
        if (!srcFolders.contains(to) && !levelOf(to))
            continue;
        if (from != to)
            graph[from].emplace(to, &include);
        const auto fromLevel = levelOf(from), toLevel = levelOf(to);
        if (include.header.starts_with(kLinuxBackends) && !include.file.starts_with(kLinuxBackends) &&
            from != "app")
            out.push_back(where(include) + ": only app may include platform/linux");
        else if (!fromLevel || !toLevel || from == to)
            continue;
        else if (*fromLevel < *toLevel)
            out.push_back(where(include) + ": " + from + " stands below " + to);
        else if (*fromLevel == *toLevel && !kPeerExceptions.contains({from, to}))
            out.push_back(where(include) + ": " + from + " and " + to + " are peers");
    }
    findCycles(graph, out);
    return out;
}

std::vector<std::string> topFolders(const std::filesystem::path& root)
{
    std::vector<std::string> folders;
    for (const auto& entry : std::filesystem::directory_iterator(root))
        if (entry.is_directory())
            folders.push_back(entry.path().filename().string());
    return folders;
}

std::vector<Include> scanIncludes(const std::filesystem::path& root)
{
    static const std::regex directive(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const auto ext = entry.path().extension();
        if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp" || ext == ".c"))
            files.push_back(entry.path());
    }
    std::ranges::sort(files);
    std::vector<Include> includes;
    for (const auto& file : files) {
        std::ifstream in(file);
        std::string text;
        std::smatch match;
        for (int line = 1; std::getline(in, text); ++line)
            if (std::regex_search(text, match, directive))
                includes.push_back({file.lexically_relative(root).generic_string(), line, match[1].str()});
    }
    return includes;
}

TEST(Layering, SourceTreeKeepsItsLayers)
{
    const std::filesystem::path root = QB_SOURCE_DIR;
    const auto includes = scanIncludes(root);
    // An empty scan would pass vacuously: a moved tree or a broken pattern must not look clean.
    ASSERT_GT(includes.size(), 100u) << "scanned " << root;
    const auto violations = findViolations(topFolders(root), includes);
    std::string report;
    for (const auto& violation : violations)
        report += violation + "\n";
    EXPECT_TRUE(violations.empty()) << violations.size() << " layering violations:\n" << report;
}

TEST(Layering, CatchesBreachesAndAllowsSanctionedIncludes)
{
    using ::testing::ElementsAre;
    using ::testing::IsEmpty;
    using ::testing::StartsWith;
    const auto check = [](std::vector<Include> includes, std::vector<std::string> folders = {}) {
        return findViolations(folders, includes);
    };

    EXPECT_THAT(check({{"lexicon/Foo.h", 3, "core/Records.h"}}),
                ElementsAre("src/lexicon/Foo.h:3 includes \"core/Records.h\": lexicon stands below core"));
    EXPECT_THAT(
        check({{"lexicon/Foo.cpp", 7, "system/Clipboard.h"}}),
        ElementsAre("src/lexicon/Foo.cpp:7 includes \"system/Clipboard.h\": lexicon and system are peers"));
    // The sherpa exception runs one way only.
    EXPECT_THAT(check({{"sherpa/Bridge.cpp", 2, "audio/Capture.h"}}),
                ElementsAre(StartsWith("src/sherpa/Bridge.cpp:2")));

    EXPECT_THAT(check({{"system/Keys.cpp", 5, "platform/linux/X11Keys.h"}}),
                ElementsAre("src/system/Keys.cpp:5 includes \"platform/linux/X11Keys.h\": only app may "
                            "include platform/linux"));
    EXPECT_THAT(check({{"platform/Factory.cpp", 4, "platform/linux/X11Keys.h"}}),
                ElementsAre(StartsWith("src/platform/Factory.cpp:4")));

    EXPECT_THAT(check({}, {"util", "gadgets"}), ElementsAre("src/gadgets: folder gadgets has no layer"));
    EXPECT_THAT(check({{"gadgets/A.cpp", 1, "util/Text.h"}}),
                ElementsAre("src/gadgets: folder gadgets has no layer"));

    EXPECT_THAT(check({{"core/A.h", 2, "lexicon/B.h"}, {"lexicon/B.cpp", 9, "core/C.h"}}),
                ElementsAre(StartsWith("src/lexicon/B.cpp:9"),
                            "folder cycle: core -> lexicon -> core (src/core/A.h:2 includes \"lexicon/B.h\"; "
                            "src/lexicon/B.cpp:9 includes \"core/C.h\")"));

    EXPECT_THAT(check({{"audio/Engine.cpp", 1, "sherpa/Recognizer.h"},
                       {"llm/Prompt.cpp", 1, "lexicon/Terms.h"},
                       {"app/Main.cpp", 1, "platform/linux/X11Keys.h"},
                       {"platform/linux/X11Keys.cpp", 1, "platform/linux/X11Keys.h"},
                       {"platform/linux/X11Keys.cpp", 2, "platform/KeySource.h"},
                       {"platform/linux/X11Keys.cpp", 3, "model/Records.h"},
                       {"sherpa/Recognizer.cpp", 1, "sherpa-onnx/c-api/c-api.h"},
                       {"ui/pill/Pill.cpp", 1, "ui/theme/Colors.h"}}),
                IsEmpty());
}

} // namespace
