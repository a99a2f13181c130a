#include "output/template_paths.h"

#include <cstdlib>
#include <filesystem>

#include "app/config.h"
#include "common/strutil.h"
#include "output/result_files.h"

namespace kv {

namespace fs = std::filesystem;

namespace {

std::string withSlashes(std::string_view s) {
    return replaceAll(trimmed(s), "\\", "/");
}

std::string normal(const fs::path& p) {
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

}  // namespace

std::string outputExecutableDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

std::vector<std::string> templateSearchDirs(const std::string& exeDir, const std::string& envDir) {
    std::vector<std::string> dirs;
    if (!envDir.empty()) dirs.push_back(normal(envDir));
    const fs::path exe(exeDir.empty() ? "." : exeDir);
    dirs.push_back(normal(exe / "templates"));
    dirs.push_back(normal(exe / ".." / "share" / "kelvora" / "templates"));
    dirs.push_back(normal(exe / ".." / ".." / "templates"));
    return dirs;
}

std::string findShippedTemplate(std::string_view fileName, const std::string& exeDir,
                                const std::string& envDir) {
    for (const std::string& d : templateSearchDirs(exeDir, envDir)) {
        const fs::path p = fs::path(d) / std::string(fileName);
        if (isFile(p)) return p.string();
    }
    return {};
}

std::string findShippedTemplate(std::string_view fileName) {
    const char* env = std::getenv("KELVORA_TEMPLATES");
    return findShippedTemplate(fileName, outputExecutableDir(), env != nullptr ? env : "");
}

std::string configuredPath(std::string_view setting, const std::string& homeFolder) {
    const std::string p = withSlashes(setting);
    if (p.empty() || p.front() == '/' || homeFolder.empty()) return p;
    return normal(fs::path(homeFolder) / p);
}

std::string templatePathFor(std::string_view setting, std::string_view shippedFile,
                            const std::string& homeFolder, std::string& error) {
    error.clear();
    const std::string configured = configuredPath(setting, homeFolder);
    if (!configured.empty()) {
        if (isFile(configured)) return configured;
        error = "Template [" + configured + "] not found";
        return {};
    }
    std::string shipped = findShippedTemplate(shippedFile);
    if (shipped.empty())
        error = "Template [" + std::string(shippedFile) +
                "] not found: set its path in the configuration or KELVORA_TEMPLATES";
    return shipped;
}

std::string resultFolder(const Config& cfg, const std::string& homeFolder, std::string& error) {
    error.clear();
    std::string dir = configuredPath(cfg.ResultPath, homeFolder);
    if (dir.empty()) {
        const std::string home = homeFolder.empty() ? "." : homeFolder;
        dir = normal(fs::path(home) / std::string(kDefaultResultFolder));
    }
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return dir;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        error = "Cannot create the result folder [" + dir + "]" +
                (ec ? ": " + ec.message() : std::string());
        return {};
    }
    return dir;
}

std::string exportFileFor(const Config& cfg, const std::string& homeFolder,
                          std::string_view rowName, std::string_view fileName,
                          std::string_view extension, std::string& error) {
    error.clear();
    const std::string given = withSlashes(fileName);
    const fs::path p(given);
    std::string base = p.filename().string();
    if (base.empty() || base == "." || base == "..") {
        base = std::string(rowName) + std::string(extension);
    } else if (!p.has_extension()) {
        base += std::string(extension);
    }
    base = safeFileNamePart(base);
    if (!given.empty() && given.front() == '/') return normal(p.parent_path() / base);
    const std::string folder = resultFolder(cfg, homeFolder, error);
    if (folder.empty()) return {};
    return folder + "/" + base;
}

}  // namespace kv
