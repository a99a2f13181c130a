#pragma once
// Helpers of the workbook tests: the independent reader (check_xlsx.py on Debian's
// python3 with openpyxl) and small hand-made archives.

#include <zip.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace kvtest {

inline std::string templatePath(const std::string& name) {
    return std::string(KV_TEMPLATE_DIR) + "/" + name;
}

// Runs the checker; "" when every expectation holds, else its report. Expectation lines
// have tab-separated fields (see check_xlsx.py).
inline std::string checkXlsx(const TempDir& dir, const std::string& workbook,
                             const std::vector<std::string>& expectations) {
    static int n = 0;
    const std::string exp = dir.file("expect" + std::to_string(++n) + ".txt");
    const std::string out = exp + ".out";
    std::string text;
    for (const auto& e : expectations) text += e + "\n";
    writeFile(exp, text);
    const std::string cmd = "/usr/bin/python3 '" + std::string(KV_CHECK_XLSX) + "' '" + workbook +
                            "' '" + exp + "' > '" + out + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    if (rc == 0) return {};
    return "checker exit " + std::to_string(rc) + ":\n" + readFile(out);
}

// Opens the workbooks in the spreadsheet program of the test machine (LibreOffice, headless)
// and saves them as .xlsx into outDir under their own names: the saved files hold the
// results that the program calculated on opening. All files go through one start of the
// program; its profile lives in dir, so parallel runs do not share one. "" or what failed.
inline std::string recalculate(const TempDir& dir, const std::vector<std::string>& workbooks,
                               const std::string& outDir) {
    if (std::system("command -v soffice > /dev/null 2>&1") != 0)
        return "soffice is not installed (scripts/deps installs libreoffice-calc-nogui)";
    const std::string log = dir.file("soffice.log");
    std::string cmd = "timeout 300 soffice -env:UserInstallation=file://" + dir.file("lo-profile") +
                      " --headless --norestore --nolockcheck --convert-to xlsx --outdir '" +
                      outDir + "'";
    for (const auto& w : workbooks) cmd += " '" + w + "'";
    cmd += " > '" + log + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    if (rc != 0) return "soffice exit " + std::to_string(rc) + ":\n" + readFile(log);
    for (const auto& w : workbooks) {
        const std::string out = outDir + "/" + std::filesystem::path(w).filename().string();
        if (!std::filesystem::exists(out)) return "soffice wrote no " + out + ":\n" + readFile(log);
    }
    return {};
}

// Joins fields with tabs: t("number", "AT4", "D19", "1.5").
template <class... A>
std::string t(const A&... fields) {
    std::string s;
    ((s += (s.empty() ? "" : "\t") + std::string(fields)), ...);
    return s;
}

// Writes an archive with the given parts in order.
inline bool writeZip(const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& parts) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (za == nullptr) return false;
    for (const auto& [name, data] : parts) {
        zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
        if (zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(src);
            zip_discard(za);
            return false;
        }
    }
    return zip_close(za) == 0;
}

// One part of an archive, "" when missing.
inline std::string readZipPart(const std::string& path, const std::string& part) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (za == nullptr) return {};
    std::string data;
    if (zip_file_t* f = zip_fopen(za, part.c_str(), 0)) {
        char buf[4096];
        zip_int64_t n;
        while ((n = zip_fread(f, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
        zip_fclose(f);
    }
    zip_discard(za);
    return data;
}

}  // namespace kvtest
