#pragma once
// Where the evaluation workbooks come from and where results go.
//
// Templates: a configured path (Template_AT4, Template_301f) is used as it stands; "\" is a
// folder separator written by the original program, and a relative path lies in the home
// folder. An empty setting means the template shipped with the program, searched in this
// order (the first folder that holds the file wins):
//   1. $KELVORA_TEMPLATES
//   2. <folder of the executable>/templates                 (a program folder of its own)
//   3. <folder of the executable>/../share/kelvora/templates (an installation, bin/kelvora)
//   4. <folder of the executable>/../../templates           (the build tree, src/main/kelvora;
//                                                            the build copies them there)
//
// Results: the configured ResultPath (relative: in the home folder), or <home>/Results
// when it is empty; the folder is created when missing.

#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct Config;

inline constexpr std::string_view kAt4TemplateFile = "AT4.xlsx";
inline constexpr std::string_view k301fTemplateFile = "301F.xlsx";
inline constexpr std::string_view kDefaultResultFolder = "Results";

// The folder of the running executable; "." when it cannot be found.
std::string outputExecutableDir();

// The folders searched for shipped templates, in order (envDir may be empty).
std::vector<std::string> templateSearchDirs(const std::string& exeDir, const std::string& envDir);
// The first searched folder that holds fileName, joined with it; "" when none does.
std::string findShippedTemplate(std::string_view fileName, const std::string& exeDir,
                                const std::string& envDir);
// The same for this process ($KELVORA_TEMPLATES and the running executable).
std::string findShippedTemplate(std::string_view fileName);

// A configured path with "/" separators, relative paths taken from the home folder; "" for
// an empty setting.
std::string configuredPath(std::string_view setting, const std::string& homeFolder);

// The template to fill: the configured one, else the shipped one. "" when there is none;
// the error then says what was looked for.
std::string templatePathFor(std::string_view setting, std::string_view shippedFile,
                            const std::string& homeFolder, std::string& error);

// The result folder (created when missing), without a trailing "/". "" and an error text
// when it cannot be made.
std::string resultFolder(const Config& cfg, const std::string& homeFolder, std::string& error);

// The file an export of a row writes when the user names one: an empty name gives the row
// name in the result folder with the extension; a bare or relative name lies in the result
// folder (only its last part is used, so "../x" stays there too); an absolute name keeps its
// folder. The last part is always made safe as a file name. "" and an error text when the
// result folder is needed but cannot be made.
std::string exportFileFor(const Config& cfg, const std::string& homeFolder,
                          std::string_view rowName, std::string_view fileName,
                          std::string_view extension, std::string& error);

}  // namespace kv
