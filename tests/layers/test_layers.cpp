// The include rule of src/ (src/layers.txt), checked on the sources themselves: every
// include of a module's header must point down the chain or be one of the listed
// exceptions. The build enforces the same rule for what it compiles; this test also
// covers headers that no source of their own module includes, includes that climb out of
// their folder, and modules that the rules do not know.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Allow {
    std::string path;  // a file stem, or a folder ending in '/'
    std::string module;
    bool used = false;
};

struct Rules {
    std::map<std::string, std::set<std::string>> sees;  // module -> modules below it
    std::vector<Allow> allows;
    std::vector<std::string> errors;
};

Rules readRules(const fs::path& file) {
    Rules r;
    std::ifstream in(file);
    if (!in) r.errors.push_back("cannot read " + file.string());
    std::set<std::string> below;
    std::string line;
    int nr = 0;
    while (std::getline(in, line)) {
        ++nr;
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind)) continue;
        std::vector<std::string> args;
        for (std::string w; words >> w;) args.push_back(w);
        if (kind == "level") {
            for (const auto& m : args) r.sees[m] = below;
            below.insert(args.begin(), args.end());
        } else if (kind == "module" && !args.empty()) {
            r.sees[args[0]] = {args.begin() + 1, args.end()};
        } else if (kind == "allow" && args.size() == 2) {
            r.allows.push_back({args[0], args[1]});
        } else {
            r.errors.push_back("layers.txt:" + std::to_string(nr) + ": cannot read \"" + line +
                               "\"");
        }
    }
    return r;
}

// The module of a path under src/ or of an include ("sim/meters/x.h" -> "sim").
std::string moduleOf(const std::string& path) {
    return path.substr(0, path.find('/'));
}

bool mayInclude(Rules& rules, const std::string& fromModule, const std::string& fromStem,
                const std::string& target) {
    auto visible = [&](const std::string& viewer) {
        const auto it = rules.sees.find(viewer);
        return viewer == target || (it != rules.sees.end() && it->second.count(target) > 0);
    };
    if (visible(fromModule)) return true;
    for (Allow& a : rules.allows) {
        const bool matches =
            a.path.back() == '/' ? fromStem.rfind(a.path, 0) == 0 : fromStem == a.path;
        if (matches && visible(a.module)) {
            a.used = true;
            return true;
        }
    }
    return false;
}

// Every include of a module header in the files under srcDir that breaks the rules.
std::vector<std::string> violations(const fs::path& srcDir) {
    Rules rules = readRules(srcDir / "layers.txt");
    std::vector<std::string> out = rules.errors;
    const std::regex include(R"(^\s*#\s*include\s*([<"])([^">]+)[">])");
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(srcDir)) {
        const std::string ext = e.path().extension().string();
        if (e.is_regular_file() && (ext == ".h" || ext == ".cpp")) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const std::string rel = fs::relative(file, srcDir).generic_string();
        const std::string module = moduleOf(rel);
        if (rules.sees.count(module) == 0) {
            out.push_back(rel + ": the module " + module + " is not in src/layers.txt");
            continue;
        }
        const std::string stem = rel.substr(0, rel.rfind('.'));
        std::ifstream in(file);
        std::string line;
        int nr = 0;
        while (std::getline(in, line)) {
            ++nr;
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const bool quoted = m[1] == "\"";
            const std::string target = m[2];
            const std::string where = rel + ":" + std::to_string(nr) + ": ";
            const std::string to = moduleOf(target);
            if (target.find("..") != std::string::npos) {
                out.push_back(where + "\"" + target + "\" climbs out of its folder");
            } else if (quoted && target.find('/') == std::string::npos) {
                out.push_back(where + "\"" + target + "\" does not name its module");
            } else if ((quoted || rules.sees.count(to) > 0) &&
                       !mayInclude(rules, module, stem, to)) {
                out.push_back(where + module + " may not include " + target);
            }
        }
    }
    for (const Allow& a : rules.allows)
        if (!a.used)
            out.push_back("layers.txt: the exception \"allow " + a.path + " " + a.module +
                          "\" is not needed (any more)");
    return out;
}

TEST(Layers, EveryIncludeOfSrcPointsDownTheChain) {
    const auto found = violations(fs::path(KELVORA_SOURCE_DIR) / "src");
    std::string text;
    for (const auto& v : found) text += "  " + v + "\n";
    EXPECT_TRUE(found.empty()) << "includes against the layer rule (src/layers.txt):\n" << text;
}

}  // namespace
