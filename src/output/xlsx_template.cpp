#include "output/xlsx_template.h"

#include <zip.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <vector>

#include "common/numtext.h"
#include "common/strutil.h"
#include "output/result_files.h"
#include "output/xlsx_refs.h"

namespace kv {

namespace {

using xlsx::kMaxCol;
using xlsx::kMaxRow;

// Templates are a few hundred kilobytes; the limits only stop a hostile archive from
// exhausting memory.
constexpr size_t kMaxPartBytes = 256u << 20;
constexpr size_t kMaxTotalBytes = 512u << 20;
constexpr zip_int64_t kMaxEntries = 20000;

// Whitespace-only text is kept where it is an element's only content (a cell text " "),
// attribute values and line ends are taken as they stand.
constexpr unsigned kParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_comments |
                                 pugi::parse_pi | pugi::parse_declaration |
                                 pugi::parse_ws_pcdata_single;

struct Part {
    std::string name;
    std::string data;
    std::unique_ptr<pugi::xml_document> xml;
    bool dirty = false;
    bool removed = false;
};

struct ColStyle {
    int min = 0, max = 0, style = 0;
};

struct Sheet {
    std::string name;
    Part* part = nullptr;  // null for chart sheets and other sheets without cells
    std::string ns;        // element prefix of the part ("x:" or "")
    pugi::xml_node root, sheetData;
    std::map<int, pugi::xml_node> rows;
    std::vector<ColStyle> colStyles;

    std::string el(const char* local) const { return ns + local; }
    void touch() { part->dirty = true; }
};

struct NameDef {
    pugi::xml_node node;
    std::string name;
    int localSheet = -1;  // 0-based sheet index, -1 for a workbook-wide name
};

std::string prefixOf(pugi::xml_node n) {
    const std::string_view name = n.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? std::string() : std::string(name.substr(0, colon + 1));
}

std::string_view localName(pugi::xml_node n) {
    const std::string_view name = n.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
};

// "xl/" + "worksheets/sheet1.xml", "../x" and "/xl/x" resolved like a path.
std::string resolvePartName(std::string_view baseDir, std::string_view target) {
    std::string joined = (!target.empty() && target.front() == '/')
                             ? std::string(target.substr(1))
                             : std::string(baseDir) + std::string(target);
    std::vector<std::string_view> segs;
    for (std::string_view seg : split(joined, '/')) {
        if (seg.empty() || seg == ".") continue;
        if (seg == "..") {
            if (!segs.empty()) segs.pop_back();
            continue;
        }
        segs.push_back(seg);
    }
    std::string out;
    for (auto seg : segs) {
        if (!out.empty()) out += '/';
        out += seg;
    }
    return out;
}

std::string dirOf(std::string_view partName) {
    const auto slash = partName.rfind('/');
    return slash == std::string_view::npos ? std::string()
                                           : std::string(partName.substr(0, slash + 1));
}

std::string relsNameOf(std::string_view partName) {
    const auto slash = partName.rfind('/');
    const std::string_view file =
        slash == std::string_view::npos ? partName : partName.substr(slash + 1);
    return dirOf(partName) + "_rels/" + std::string(file) + ".rels";
}

std::string numberText(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Whether a number format shows a date or time: the built-in date formats, or a format
// code with day, month, year, hour or second fields outside quoted text.
bool builtinDateFormat(int id) {
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) ||
           (id >= 50 && id <= 58);
}

bool formatCodeIsDate(std::string_view code) {
    for (size_t i = 0; i < code.size(); ++i) {
        const char c = code[i];
        if (c == ';') break;  // the first section decides
        if (c == '"') {
            const auto e = code.find('"', i + 1);
            if (e == std::string_view::npos) break;
            i = e;
        } else if (c == '\\' || c == '_' || c == '*') {
            ++i;
        } else if (c == '[') {
            const auto e = code.find(']', i);
            if (e == std::string_view::npos) break;
            const std::string_view inner = code.substr(i + 1, e - i - 1);
            if (!inner.empty() && inner.find_first_not_of("hHmMsS") == std::string_view::npos)
                return true;  // elapsed time [h]:mm
            i = e;
        } else if (std::strchr("dDmMyYhHsS", c) != nullptr) {
            return true;
        }
    }
    return false;
}

template <class F>
std::string guarded(F&& f) {
    try {
        return f();
    } catch (const std::exception& e) {
        return std::string("Workbook error: ") + e.what();
    }
}

}  // namespace

struct XlsxTemplate::Impl {
    std::string path;
    std::vector<std::unique_ptr<Part>> parts;  // in archive order
    std::map<std::string, Part*> partByName;
    Part* contentTypes = nullptr;
    Part* workbook = nullptr;
    Part* workbookRels = nullptr;
    Part* styles = nullptr;
    std::string calcChainName;
    std::vector<Sheet> sheets;
    bool sharedExpanded = false;
    std::string dateFormatCode;
    std::map<int, int> dateStyleOf;  // cell format index -> the same with a date format

    // ---- reading ----------------------------------------------------------------------

    Part* part(const std::string& name) {
        const auto it = partByName.find(name);
        return it == partByName.end() || it->second->removed ? nullptr : it->second;
    }

    pugi::xml_document* xml(Part* p) {
        if (p == nullptr) return nullptr;
        if (!p->xml) {
            auto doc = std::make_unique<pugi::xml_document>();
            if (!doc->load_buffer(p->data.data(), p->data.size(), kParseFlags)) return nullptr;
            p->xml = std::move(doc);
        }
        return p->xml.get();
    }

    std::string what() const { return "[" + path + "]"; }

    std::string readArchive() {
        int zerr = 0;
        zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &zerr);
        if (za == nullptr) {
            if (zerr == ZIP_ER_NOZIP)
                return "Template " + what() + " is not an xlsx workbook (not a zip archive)";
            if (zerr == ZIP_ER_INCONS)
                return "Template " + what() + " is damaged (inconsistent zip archive)";
            zip_error_t ze;
            zip_error_init_with_code(&ze, zerr);
            std::string msg = "Cannot read template " + what() + ": " + zip_error_strerror(&ze);
            zip_error_fini(&ze);
            return msg;
        }
        std::string err = readEntries(za);
        zip_discard(za);
        return err;
    }

    std::string readEntries(zip_t* za) {
        const zip_int64_t n = zip_get_num_entries(za, 0);
        if (n < 0 || n > kMaxEntries) return "Template " + what() + " has too many parts";
        size_t total = 0;
        for (zip_int64_t i = 0; i < n; ++i) {
            zip_stat_t st;
            if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0 || !st.name)
                return "Template " + what() + " is damaged: " + zip_strerror(za);
            auto p = std::make_unique<Part>();
            p->name = st.name;
            if (!endsWith(p->name, "/")) {
                std::string err = readEntry(za, static_cast<zip_uint64_t>(i), *p, total);
                if (!err.empty()) return err;
            }
            partByName[p->name] = p.get();
            parts.push_back(std::move(p));
        }
        return {};
    }

    std::string readEntry(zip_t* za, zip_uint64_t index, Part& p, size_t& total) {
        zip_file_t* zf = zip_fopen_index(za, index, 0);
        if (zf == nullptr)
            return "Template " + what() + ": cannot read part " + p.name + ": " + zip_strerror(za);
        char buf[65536];
        zip_int64_t got;
        std::string err;
        while ((got = zip_fread(zf, buf, sizeof buf)) > 0) {
            p.data.append(buf, static_cast<size_t>(got));
            total += static_cast<size_t>(got);
            if (p.data.size() > kMaxPartBytes || total > kMaxTotalBytes) {
                err = "Template " + what() + " is too large";
                break;
            }
        }
        if (err.empty() && got < 0)
            err = "Template " + what() + ": cannot read part " + p.name + ": " +
                  zip_error_strerror(zip_file_get_error(zf));
        zip_fclose(zf);
        return err;
    }

    // Relationship targets of a part by type suffix ("/worksheet") or id.
    struct Rel {
        std::string id, type, target;
    };
    std::vector<Rel> relsOf(const std::string& partName) {
        std::vector<Rel> out;
        pugi::xml_document* d = xml(part(relsNameOf(partName)));
        if (d == nullptr) return out;
        const std::string base = dirOf(partName);
        for (pugi::xml_node r : d->document_element().children()) {
            if (localName(r) != "Relationship") continue;
            if (std::string_view(r.attribute("TargetMode").value()) == "External") continue;
            out.push_back({r.attribute("Id").value(), r.attribute("Type").value(),
                           resolvePartName(base, r.attribute("Target").value())});
        }
        return out;
    }

    std::string load(const std::string& p) {
        path = p;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(p, ec)) return "Template " + what() + " not found";
        std::string err = readArchive();
        if (!err.empty()) return err;
        contentTypes = part("[Content_Types].xml");
        std::string wbName = "xl/workbook.xml";
        for (const Rel& r : relsOf(""))
            if (endsWith(r.type, "/officeDocument")) wbName = r.target;
        workbook = part(wbName);
        pugi::xml_document* wb = xml(workbook);
        if (contentTypes == nullptr || wb == nullptr ||
            localName(wb->document_element()) != "workbook")
            return "Template " + what() + " is not an xlsx workbook (no workbook part)";
        workbookRels = part(relsNameOf(wbName));
        return loadSheets(wbName);
    }

    std::string loadSheets(const std::string& wbName) {
        const std::vector<Rel> rels = relsOf(wbName);
        for (const Rel& r : rels) {
            if (endsWith(r.type, "/styles")) styles = part(r.target);
            if (endsWith(r.type, "/calcChain")) calcChainName = r.target;
        }
        const pugi::xml_node root = workbook->xml->document_element();
        const std::string ns = prefixOf(root);
        for (pugi::xml_node s : root.child((ns + "sheets").c_str()).children()) {
            if (localName(s) != "sheet") continue;
            Sheet sh;
            sh.name = s.attribute("name").value();
            std::string rid;
            for (pugi::xml_attribute a : s.attributes()) {
                const std::string_view an = a.name();
                if (an.size() > 3 && endsWith(an, ":id")) rid = a.value();
            }
            for (const Rel& r : rels)
                if (r.id == rid && endsWith(r.type, "/worksheet")) sh.part = part(r.target);
            if (sh.part != nullptr) {
                std::string err = loadSheet(sh);
                if (!err.empty()) return err;
            }
            sheets.push_back(std::move(sh));
        }
        if (sheets.empty()) return "Template " + what() + " has no sheets";
        return {};
    }

    std::string loadSheet(Sheet& sh) {
        pugi::xml_document* d = xml(sh.part);
        if (d == nullptr) return "Template " + what() + ": sheet [" + sh.name + "] cannot be read";
        sh.root = d->document_element();
        sh.ns = prefixOf(sh.root);
        sh.sheetData = sh.root.child(sh.el("sheetData").c_str());
        if (!sh.sheetData)
            return "Template " + what() + ": sheet [" + sh.name + "] has no cell data";
        indexRows(sh, true);
        for (pugi::xml_node c : sh.root.child(sh.el("cols").c_str()).children()) {
            const int style = c.attribute("style").as_int(0);
            if (style > 0)
                sh.colStyles.push_back(
                    {c.attribute("min").as_int(0), c.attribute("max").as_int(0), style});
        }
        return {};
    }

    // Rows and cells may leave out their numbers (they then follow the previous one);
    // every row and cell gets its number written so that later edits can rely on it.
    void indexRows(Sheet& sh, bool fillMissing) {
        sh.rows.clear();
        int prevRow = 0;
        // Named iteration keeps a pointer to the name: it must outlive the loop.
        const std::string rowName = sh.el("row"), cellName = sh.el("c");
        for (pugi::xml_node r : sh.sheetData.children(rowName.c_str())) {
            int rn = r.attribute("r").as_int(0);
            if (rn < 1 && fillMissing) {
                rn = prevRow + 1;
                r.remove_attribute("r");
                r.prepend_attribute("r") = rn;
            }
            prevRow = rn;
            sh.rows[rn] = r;
            if (!fillMissing) continue;
            int prevCol = 0;
            for (pugi::xml_node c : r.children(cellName.c_str())) {
                int row = 0, col = 0;
                if (!xlsx::parseCellName(c.attribute("r").value(), row, col)) {
                    col = prevCol + 1;
                    c.remove_attribute("r");
                    c.prepend_attribute("r") = xlsx::cellName(rn, col).c_str();
                }
                prevCol = col;
            }
        }
    }

    // ---- names --------------------------------------------------------------------------

    std::vector<NameDef> names() {
        std::vector<NameDef> out;
        const pugi::xml_node root = workbook->xml->document_element();
        const std::string ns = prefixOf(root);
        for (pugi::xml_node n : root.child((ns + "definedNames").c_str()).children()) {
            if (localName(n) != "definedName") continue;
            const pugi::xml_attribute local = n.attribute("localSheetId");
            out.push_back({n, n.attribute("name").value(), local ? local.as_int(-1) : -1});
        }
        return out;
    }

    int sheetIndex(std::string_view name) const {
        for (size_t i = 0; i < sheets.size(); ++i)
            if (iequals(sheets[i].name, name)) return static_cast<int>(i);
        return -1;
    }

    std::string areaOf(const xlsx::SheetRef& ref, std::string_view label, SheetArea& out) {
        const int idx = sheetIndex(ref.sheet);
        if (idx < 0)
            return "Name [" + std::string(label) + "] refers to the missing sheet [" + ref.sheet +
                   "] in template " + what();
        out = {sheets[static_cast<size_t>(idx)].name, ref.area.row1, ref.area.col1, ref.area.row2,
               ref.area.col2};
        return {};
    }

    std::string resolve(std::string_view name, SheetArea& out, std::string_view scope) {
        std::string_view nm = trim(name);
        if (auto ref = xlsx::parseSheetRef(nm)) return areaOf(*ref, nm, out);
        std::string scopeName(scope);
        bool onlyLocal = false;
        if (const auto bang = nm.rfind('!'); bang != std::string_view::npos) {
            std::string_view s = nm.substr(0, bang);
            if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'')
                scopeName = replaceAll(std::string(s.substr(1, s.size() - 2)), "''", "'");
            else
                scopeName = std::string(s);
            nm = nm.substr(bang + 1);
            onlyLocal = true;
        }
        const int scopeIdx = scopeName.empty() ? -1 : sheetIndex(scopeName);
        if (!scopeName.empty() && scopeIdx < 0)
            return "Sheet [" + scopeName + "] not found in template " + what();
        const NameDef* pick = nullptr;
        const std::vector<NameDef> all = names();
        for (int pass = 0; pass < 3 && pick == nullptr; ++pass) {
            for (const NameDef& d : all) {
                if (!iequals(d.name, nm)) continue;
                const bool match = pass == 0   ? (scopeIdx >= 0 && d.localSheet == scopeIdx)
                                   : pass == 1 ? (!onlyLocal && d.localSheet < 0)
                                               : (scopeIdx < 0 && d.localSheet >= 0);
                if (match) {
                    pick = &d;
                    break;
                }
            }
        }
        if (pick == nullptr)
            return "Name [" + std::string(nm) + "] not found in template " + what();
        const std::string target = pick->node.text().get();
        const auto ref = xlsx::parseSheetRef(target);
        if (!ref)
            return "Name [" + std::string(nm) + "] in template " + what() +
                   " does not refer to cells (" + target + ")";
        return areaOf(*ref, nm, out);
    }

    // ---- cells --------------------------------------------------------------------------

    Sheet* sheet(std::string_view name, std::string& err) {
        const int idx = sheetIndex(name);
        if (idx < 0) {
            err = "Sheet [" + std::string(name) + "] not found in template " + what();
            return nullptr;
        }
        Sheet& sh = sheets[static_cast<size_t>(idx)];
        if (sh.part == nullptr) {
            err = "Sheet [" + sh.name + "] in template " + what() + " holds no cells";
            return nullptr;
        }
        return &sh;
    }

    static int cellCol(pugi::xml_node c) {
        int row = 0, col = 0;
        xlsx::parseCellName(c.attribute("r").value(), row, col);
        return col;
    }

    pugi::xml_node rowNode(Sheet& sh, int row) {
        auto it = sh.rows.lower_bound(row);
        if (it != sh.rows.end() && it->first == row) return it->second;
        const std::string name = sh.el("row");
        pugi::xml_node n = it != sh.rows.end()
                               ? sh.sheetData.insert_child_before(name.c_str(), it->second)
                               : sh.sheetData.append_child(name.c_str());
        n.append_attribute("r") = row;
        sh.rows.emplace_hint(it, row, n);
        return n;
    }

    // The format a new cell takes: its row's, else its column's.
    static int inheritedStyle(const Sheet& sh, pugi::xml_node row, int col) {
        if (row.attribute("customFormat").as_bool() && row.attribute("s").as_int(0) > 0)
            return row.attribute("s").as_int(0);
        for (const ColStyle& cs : sh.colStyles)
            if (col >= cs.min && col <= cs.max) return cs.style;
        return 0;
    }

    pugi::xml_node cellNode(Sheet& sh, int row, int col) {
        pugi::xml_node r = rowNode(sh, row);
        const std::string cname = sh.el("c");
        pugi::xml_node last = r.last_child();
        while (last && std::string_view(last.name()) != cname) last = last.previous_sibling();
        pugi::xml_node c;
        if (last && cellCol(last) < col) {
            c = r.insert_child_after(cname.c_str(), last);
        } else {
            pugi::xml_node before;
            for (pugi::xml_node x : r.children(cname.c_str())) {
                const int xc = cellCol(x);
                if (xc == col) return x;
                if (xc > col) {
                    before = x;
                    break;
                }
            }
            c = before ? r.insert_child_before(cname.c_str(), before)
                       : r.prepend_child(cname.c_str());
        }
        c.append_attribute("r") = xlsx::cellName(row, col).c_str();
        if (const int st = inheritedStyle(sh, r, col); st > 0) c.append_attribute("s") = st;
        r.remove_attribute("spans");  // a hint that would no longer be right
        return c;
    }

    static void resetCell(const Sheet& sh, pugi::xml_node c) {
        for (const char* child : {"f", "v", "is"})
            while (pugi::xml_node x = c.child(sh.el(child).c_str())) c.remove_child(x);
        for (const char* attr : {"t", "cm", "vm"}) c.remove_attribute(attr);
    }

    std::string locate(std::string_view sheetName, int row, int col, Sheet*& sh) {
        std::string err;
        sh = sheet(sheetName, err);
        if (sh == nullptr) return err;
        if (row < 1 || row > kMaxRow || col < 1 || col > kMaxCol)
            return "Cell (row " + std::to_string(row) + ", column " + std::to_string(col) +
                   ") lies outside sheet [" + sh->name + "]";
        return {};
    }

    // The cell to overwrite. A shared formula's master carries the formula of all its
    // cells, so the shared formulas are spelled out before a master loses its formula.
    pugi::xml_node writableCell(Sheet& sh, int row, int col) {
        pugi::xml_node c = cellNode(sh, row, col);
        const pugi::xml_node f = c.child(sh.el("f").c_str());
        if (f && std::string_view(f.attribute("t").value()) == "shared") expandSharedFormulas();
        resetCell(sh, c);
        sh.touch();
        return c;
    }

    std::string writeNumber(std::string_view sheetName, int row, int col, double v,
                            pugi::xml_node* written = nullptr) {
        Sheet* sh = nullptr;
        std::string err = locate(sheetName, row, col, sh);
        if (!err.empty()) return err;
        pugi::xml_node c = writableCell(*sh, row, col);
        if (!isNoValue(v) && std::isfinite(v))
            c.append_child(sh->el("v").c_str()).text().set(numberText(v).c_str());
        if (written) *written = c;
        return {};
    }

    std::string writeText(std::string_view sheetName, int row, int col, std::string_view text) {
        Sheet* sh = nullptr;
        std::string err = locate(sheetName, row, col, sh);
        if (!err.empty()) return err;
        pugi::xml_node c = writableCell(*sh, row, col);
        const std::string s = xlsx::cellText(text);
        if (!s.empty()) {
            c.append_attribute("t") = "inlineStr";
            pugi::xml_node t =
                c.append_child(sh->el("is").c_str()).append_child(sh->el("t").c_str());
            if (trim(s).size() != s.size() || s.find('\n') != std::string::npos)
                t.append_attribute("xml:space") = "preserve";
            t.text().set(s.c_str());
        }
        return {};
    }

    // ---- date formats -------------------------------------------------------------------

    int ensureDateNumFmt(pugi::xml_node root, const std::string& ns) {
        pugi::xml_node fmts = root.child((ns + "numFmts").c_str());
        if (!fmts) fmts = root.prepend_child((ns + "numFmts").c_str());
        int maxId = 163;  // custom formats start at 164
        for (pugi::xml_node f : fmts.children()) {
            if (f.attribute("formatCode").value() == dateFormatCode)
                return f.attribute("numFmtId").as_int();
            maxId = std::max(maxId, f.attribute("numFmtId").as_int());
        }
        pugi::xml_node f = fmts.append_child((ns + "numFmt").c_str());
        f.append_attribute("numFmtId") = maxId + 1;
        f.append_attribute("formatCode") = dateFormatCode.c_str();
        fmts.remove_attribute("count");
        fmts.append_attribute("count") =
            static_cast<int>(std::distance(fmts.children().begin(), fmts.children().end()));
        return maxId + 1;
    }

    bool isDateNumFmt(pugi::xml_node root, const std::string& ns, int id) {
        if (builtinDateFormat(id)) return true;
        for (pugi::xml_node f : root.child((ns + "numFmts").c_str()).children())
            if (f.attribute("numFmtId").as_int(-1) == id)
                return formatCodeIsDate(f.attribute("formatCode").value());
        return false;
    }

    // The cell format that shows xf's look with a date: xf itself when it already has a
    // date format, else a copy of it with the date-time format.
    int dateStyle(int xf) {
        if (auto it = dateStyleOf.find(xf); it != dateStyleOf.end()) return it->second;
        pugi::xml_document* d = xml(styles);
        if (d == nullptr) return xf;
        const pugi::xml_node root = d->document_element();
        const std::string ns = prefixOf(root);
        pugi::xml_node xfs = root.child((ns + "cellXfs").c_str());
        pugi::xml_node node;
        int i = 0;
        const std::string xfName = ns + "xf";
        for (pugi::xml_node x : xfs.children(xfName.c_str()))
            if (i++ == xf) node = x;
        if (!node) return xf;
        int result = xf;
        if (!isDateNumFmt(root, ns, node.attribute("numFmtId").as_int(0))) {
            const int fmt = ensureDateNumFmt(root, ns);
            pugi::xml_node copy = xfs.append_copy(node);
            copy.remove_attribute("numFmtId");
            copy.prepend_attribute("numFmtId") = fmt;
            copy.remove_attribute("applyNumberFormat");
            copy.append_attribute("applyNumberFormat") = 1;
            result = i;
            xfs.remove_attribute("count");
            xfs.append_attribute("count") = i + 1;
            styles->dirty = true;
        }
        dateStyleOf[xf] = result;
        return result;
    }

    // ---- inserting rows -------------------------------------------------------------------

    // Shared formulas name their cells relative to a master cell; moving some of their
    // cells would break that, so each cell gets its own formula first.
    void expandSharedFormulas() {
        if (sharedExpanded) return;
        sharedExpanded = true;
        for (Sheet& sh : sheets) {
            if (sh.part == nullptr) continue;
            struct Master {
                int row, col;
                std::string text;
            };
            std::map<std::string, Master> masters;
            std::vector<pugi::xml_node> shared;
            forEachFormula(sh, [&](pugi::xml_node c, pugi::xml_node f) {
                if (std::string_view(f.attribute("t").value()) != "shared") return;
                shared.push_back(c);
                if (f.attribute("ref") && *f.text().get()) {
                    int row = 0, col = 0;
                    xlsx::parseCellName(c.attribute("r").value(), row, col);
                    masters[f.attribute("si").value()] = {row, col, f.text().get()};
                }
            });
            for (pugi::xml_node c : shared) {
                pugi::xml_node f = c.child(sh.el("f").c_str());
                const auto m = masters.find(f.attribute("si").value());
                if (m == masters.end()) continue;
                int row = 0, col = 0;
                xlsx::parseCellName(c.attribute("r").value(), row, col);
                const std::string text = xlsx::translateFormula(m->second.text, row - m->second.row,
                                                                col - m->second.col);
                f.text().set(text.c_str());
                for (const char* a : {"t", "ref", "si"}) f.remove_attribute(a);
                sh.touch();
            }
        }
    }

    void forEachFormula(Sheet& sh, const std::function<void(pugi::xml_node, pugi::xml_node)>& fn) {
        const std::string cname = sh.el("c"), fname = sh.el("f");
        for (auto& [rn, r] : sh.rows)
            for (pugi::xml_node c : r.children(cname.c_str()))
                if (pugi::xml_node f = c.child(fname.c_str())) fn(c, f);
    }

    static bool rewriteText(pugi::xml_node n,
                            const std::function<std::string(std::string_view)>& fn) {
        const std::string_view old = n.text().get();
        if (old.empty()) return false;
        const std::string now = fn(old);
        if (now == old) return false;
        n.text().set(now.c_str());
        return true;
    }

    static bool rewriteAttr(pugi::xml_node n, const char* attr, int atRow, int count) {
        pugi::xml_attribute a = n.attribute(attr);
        if (!a) return false;
        const std::string now = xlsx::shiftAreaListRows(a.value(), atRow, count);
        if (now == a.value()) return false;
        a.set_value(now.c_str());
        return true;
    }

    // Formulas of cells, conditional formats and validations of one sheet.
    void shiftSheetFormulas(Sheet& sh, const std::string& target, int atRow, int count) {
        bool changed = false;
        const auto shift = [&](std::string_view f) {
            return xlsx::shiftFormulaRows(f, sh.name, target, atRow, count);
        };
        const bool self = iequals(sh.name, target);
        forEachFormula(sh, [&](pugi::xml_node, pugi::xml_node f) {
            changed |= rewriteText(f, shift);
            if (self) changed |= rewriteAttr(f, "ref", atRow, count);
        });
        const std::string cfName = sh.el("conditionalFormatting"), formulaName = sh.el("formula");
        for (pugi::xml_node cf : sh.root.children(cfName.c_str())) {
            if (self) changed |= rewriteAttr(cf, "sqref", atRow, count);
            for (pugi::xml_node rule : cf.children())
                for (pugi::xml_node f : rule.children(formulaName.c_str()))
                    changed |= rewriteText(f, shift);
        }
        for (pugi::xml_node dv : sh.root.child(sh.el("dataValidations").c_str()).children()) {
            if (self) changed |= rewriteAttr(dv, "sqref", atRow, count);
            for (const char* fn : {"formula1", "formula2"})
                if (pugi::xml_node f = dv.child(sh.el(fn).c_str()))
                    changed |= rewriteText(f, shift);
        }
        if (self) {
            for (pugi::xml_node m : sh.root.child(sh.el("mergeCells").c_str()).children())
                changed |= rewriteAttr(m, "ref", atRow, count);
            for (pugi::xml_node h : sh.root.child(sh.el("hyperlinks").c_str()).children())
                changed |= rewriteAttr(h, "ref", atRow, count);
            changed |= rewriteAttr(sh.root.child(sh.el("autoFilter").c_str()), "ref", atRow, count);
        }
        if (changed) sh.touch();
    }

    void shiftNames(const std::string& target, int atRow, int count) {
        for (const NameDef& d : names())
            if (rewriteText(d.node, [&](std::string_view f) {
                    return xlsx::shiftFormulaRows(f, {}, target, atRow, count);
                }))
                workbook->dirty = true;
    }

    // Chart series name their data with sheet-qualified references.
    void shiftCharts(const std::string& target, int atRow, int count) {
        for (auto& p : parts) {
            if (p->removed || !startsWith(p->name, "xl/charts/") || !endsWith(p->name, ".xml") ||
                p->name.find("/_rels/") != std::string::npos)
                continue;
            pugi::xml_document* d = xml(p.get());
            if (d == nullptr) continue;
            struct Walker : pugi::xml_tree_walker {
                std::function<void(pugi::xml_node)> fn;
                bool for_each(pugi::xml_node& n) override {
                    if (n.type() == pugi::node_element && localName(n) == "f") fn(n);
                    return true;
                }
            } walker;
            walker.fn = [&](pugi::xml_node n) {
                p->dirty |= rewriteText(n, [&](std::string_view f) {
                    return xlsx::shiftFormulaRows(f, {}, target, atRow, count);
                });
            };
            d->traverse(walker);
        }
    }

    // Moves the rows from atRow on down by count and gives the new rows the format of the
    // row above them.
    void moveRows(Sheet& sh, int atRow, int count) {
        const std::string cname = sh.el("c");
        for (auto it = sh.rows.lower_bound(atRow); it != sh.rows.end(); ++it) {
            const int newRow = it->first + count;
            it->second.attribute("r").set_value(newRow);
            for (pugi::xml_node c : it->second.children(cname.c_str()))
                c.attribute("r").set_value(xlsx::cellName(newRow, cellCol(c)).c_str());
        }
        indexRows(sh, false);
        const auto above = sh.rows.find(atRow - 1);
        if (above == sh.rows.end()) return;
        const pugi::xml_node src = above->second;
        for (int r = atRow; r < atRow + count; ++r) {
            pugi::xml_node n = rowNode(sh, r);
            for (const char* a : {"s", "customFormat", "ht", "customHeight"})
                if (pugi::xml_attribute sa = src.attribute(a)) n.append_attribute(a) = sa.value();
            for (pugi::xml_node c : src.children(cname.c_str())) {
                if (c.attribute("s").as_int(0) <= 0) continue;
                pugi::xml_node nc = n.append_child(cname.c_str());
                nc.append_attribute("r") = xlsx::cellName(r, cellCol(c)).c_str();
                nc.append_attribute("s") = c.attribute("s").value();
            }
        }
    }

    std::string insertRows(std::string_view sheetName, int atRow, int count) {
        std::string err;
        Sheet* sh = sheet(sheetName, err);
        if (sh == nullptr) return err;
        if (count == 0) return {};
        if (count < 0 || atRow < 1 || atRow > kMaxRow)
            return "Cannot insert " + std::to_string(count) + " rows before row " +
                   std::to_string(atRow) + " of sheet [" + sh->name + "]";
        const int lastRow = sh->rows.empty() ? 0 : sh->rows.rbegin()->first;
        if ((lastRow >= atRow && lastRow > kMaxRow - count) || atRow > kMaxRow - count + 1)
            return "Sheet [" + sh->name + "] has no room for " + std::to_string(count) +
                   " more rows";
        expandSharedFormulas();
        const std::string target = sh->name;
        moveRows(*sh, atRow, count);
        sh->touch();
        for (Sheet& s : sheets)
            if (s.part != nullptr) shiftSheetFormulas(s, target, atRow, count);
        shiftNames(target, atRow, count);
        shiftCharts(target, atRow, count);
        return {};
    }

    // ---- saving ---------------------------------------------------------------------------

    // Cached results of formulas are stale once cells change; without them every reader
    // either calculates or shows nothing, never an old number. Marking the workbook for a
    // full calculation alone is not enough: some spreadsheet programs ignore the mark and
    // calculate only the formulas that have no stored result.
    void dropCachedResults() {
        for (Sheet& sh : sheets) {
            if (sh.part == nullptr) continue;
            const std::string vname = sh.el("v");
            forEachFormula(sh, [&](pugi::xml_node c, pugi::xml_node) {
                if (pugi::xml_node v = c.child(vname.c_str())) {
                    c.remove_child(v);
                    c.remove_attribute("t");
                    sh.touch();
                }
            });
        }
    }

    void markFullCalc() {
        pugi::xml_node root = workbook->xml->document_element();
        const std::string ns = prefixOf(root);
        pugi::xml_node calc = root.child((ns + "calcPr").c_str());
        if (!calc) {
            // calcPr follows these elements in the workbook's schema order.
            pugi::xml_node after;
            for (const char* name :
                 {"sheets", "functionGroups", "externalReferences", "definedNames"})
                if (pugi::xml_node n = root.child((ns + name).c_str())) after = n;
            calc = after ? root.insert_child_after((ns + "calcPr").c_str(), after)
                         : root.append_child((ns + "calcPr").c_str());
        }
        calc.remove_attribute("fullCalcOnLoad");
        calc.append_attribute("fullCalcOnLoad") = 1;
        workbook->dirty = true;
    }

    // The calculation chain lists formula cells in their old places; the spreadsheet
    // rebuilds it when it is missing.
    void dropCalcChain() {
        Part* chain = calcChainName.empty() ? nullptr : part(calcChainName);
        if (chain == nullptr) return;
        chain->removed = true;
        if (pugi::xml_document* ct = xml(contentTypes)) {
            const std::string partName = "/" + calcChainName;
            for (pugi::xml_node o : ct->document_element().children())
                if (iequals(o.attribute("PartName").value(), partName)) {
                    ct->document_element().remove_child(o);
                    contentTypes->dirty = true;
                    break;
                }
        }
        if (pugi::xml_document* rels = xml(workbookRels)) {
            for (pugi::xml_node r : rels->document_element().children())
                if (endsWith(r.attribute("Type").value(), "/calcChain")) {
                    rels->document_element().remove_child(r);
                    workbookRels->dirty = true;
                    break;
                }
        }
    }

    static void updateDimension(Sheet& sh) {
        pugi::xml_node dim = sh.root.child(sh.el("dimension").c_str());
        if (!dim) return;
        xlsx::Area a{kMaxRow, kMaxCol, 0, 0};
        const std::string cname = sh.el("c");
        for (auto& [rn, r] : sh.rows)
            for (pugi::xml_node c : r.children(cname.c_str())) {
                const int col = cellCol(c);
                a.row1 = std::min(a.row1, rn);
                a.row2 = std::max(a.row2, rn);
                a.col1 = std::min(a.col1, col);
                a.col2 = std::max(a.col2, col);
            }
        if (a.row2 == 0) a = {1, 1, 1, 1};
        dim.remove_attribute("ref");
        dim.append_attribute("ref") = xlsx::areaName(a).c_str();
    }

    // The rightmost column that holds a cell element; 0 for an empty sheet.
    int lastColumn(std::string_view name, std::string& err) {
        Sheet* sh = sheet(name, err);
        if (sh == nullptr) return 0;
        int last = 0;
        for (const auto& [nr, row] : sh->rows)
            for (pugi::xml_node c : row.children()) {
                int col = 0;
                for (const char* p = c.attribute("r").value(); *p >= 'A' && *p <= 'Z'; ++p)
                    col = col * 26 + (*p - 'A' + 1);
                last = std::max(last, std::min(col, kMaxCol));
            }
        return last;
    }

    // A new empty worksheet at the end of the workbook: its part, its relationship, its
    // entry in the workbook and its content type.
    std::string addSheet(std::string_view name) {
        if (name.empty() || name.size() > 31 ||
            name.find_first_of(":\\/?*[]") != std::string_view::npos)
            return "Sheet name [" + std::string(name) + "] is not allowed";
        if (sheetIndex(name) >= 0) return "Sheet [" + std::string(name) + "] exists already";
        if (workbookRels == nullptr || xml(workbookRels) == nullptr || xml(contentTypes) == nullptr)
            return "Template " + what() + " has no workbook relationships";
        int n = 1;
        while (partByName.count("xl/worksheets/sheet" + std::to_string(n) + ".xml")) ++n;
        auto p = std::make_unique<Part>();
        p->name = "xl/worksheets/sheet" + std::to_string(n) + ".xml";
        p->data =
            "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
            "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
            "<dimension ref=\"A1\"/><sheetData/></worksheet>";
        Part* part = p.get();
        if (xml(part) == nullptr) return "Cannot make sheet [" + std::string(name) + "]";
        part->dirty = true;
        partByName[part->name] = part;
        parts.push_back(std::move(p));

        // The relationship, with an id the workbook does not use yet.
        pugi::xml_node rels = workbookRels->xml->document_element();
        std::set<std::string> ids;
        for (pugi::xml_node r : rels.children()) ids.insert(r.attribute("Id").value());
        int k = 1;
        while (ids.count("rIdKv" + std::to_string(k))) ++k;
        const std::string rid = "rIdKv" + std::to_string(k);
        const std::string base = dirOf(workbook->name);
        const std::string target =
            startsWith(part->name, base) ? part->name.substr(base.size()) : "/" + part->name;
        pugi::xml_node rel = rels.append_child((prefixOf(rels) + "Relationship").c_str());
        rel.append_attribute("Id") = rid.c_str();
        rel.append_attribute("Type") =
            "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
        rel.append_attribute("Target") = target.c_str();
        workbookRels->dirty = true;

        // The workbook's entry, with the prefix its other sheets use for the id.
        pugi::xml_node root = workbook->xml->document_element();
        const std::string ns = prefixOf(root);
        pugi::xml_node list = root.child((ns + "sheets").c_str());
        std::string idAttr;
        int sheetId = 0;
        for (pugi::xml_node sh : list.children()) {
            sheetId = std::max(sheetId, sh.attribute("sheetId").as_int(0));
            for (pugi::xml_attribute a : sh.attributes()) {
                const std::string_view an = a.name();
                if (an.size() > 3 && endsWith(an, ":id")) idAttr = std::string(an);
            }
        }
        if (idAttr.empty()) {
            idAttr = "kvr:id";
            root.append_attribute("xmlns:kvr") =
                "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
        }
        pugi::xml_node entry = list.append_child((ns + "sheet").c_str());
        entry.append_attribute("name") = std::string(name).c_str();
        entry.append_attribute("sheetId") = sheetId + 1;
        entry.append_attribute(idAttr.c_str()) = rid.c_str();
        workbook->dirty = true;

        pugi::xml_node types = contentTypes->xml->document_element();
        pugi::xml_node o = types.append_child((prefixOf(types) + "Override").c_str());
        o.append_attribute("PartName") = ("/" + part->name).c_str();
        o.append_attribute("ContentType") =
            "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
        contentTypes->dirty = true;

        Sheet sh;
        sh.name = std::string(name);
        sh.part = part;
        std::string err = loadSheet(sh);
        if (!err.empty()) return err;
        sheets.push_back(std::move(sh));
        return {};
    }

    std::string save(const std::string& target) {
        dropCachedResults();
        markFullCalc();
        dropCalcChain();
        for (Sheet& sh : sheets)
            if (sh.part != nullptr && sh.part->dirty) updateDimension(sh);
        for (auto& p : parts) {
            if (!p->dirty || !p->xml) continue;
            StringWriter w;
            p->xml->save(w, "", pugi::format_raw | pugi::format_no_declaration,
                         pugi::encoding_utf8);
            p->data = std::move(w.out);
            p->dirty = false;
        }
        const std::string tmp = temporaryPathFor(target);
        int zerr = 0;
        zip_t* za = zip_open(tmp.c_str(), ZIP_CREATE | ZIP_EXCL, &zerr);
        if (za == nullptr) {
            zip_error_t ze;
            zip_error_init_with_code(&ze, zerr);
            std::string msg = "Cannot write file [" + target + "]: " + zip_error_strerror(&ze);
            zip_error_fini(&ze);
            return msg;
        }
        std::string err;
        for (auto& p : parts) {
            if (p->removed) continue;
            if (endsWith(p->name, "/")) {
                zip_dir_add(za, p->name.c_str(), ZIP_FL_ENC_UTF_8);
                continue;
            }
            zip_source_t* src = zip_source_buffer(za, p->data.data(), p->data.size(), 0);
            if (src == nullptr ||
                zip_file_add(za, p->name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
                if (src != nullptr) zip_source_free(src);
                err = zip_strerror(za);
                break;
            }
        }
        if (err.empty() && zip_close(za) != 0) err = zip_strerror(za);
        if (!err.empty()) {
            zip_discard(za);
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            return "Cannot write file [" + target + "]: " + err;
        }
        return replaceFileWith(tmp, target);
    }
};

// ---- public interface -----------------------------------------------------------------------

namespace {
const std::string kNotOpen = "No workbook template is open";
}

XlsxTemplate::XlsxTemplate() = default;
XlsxTemplate::~XlsxTemplate() = default;

std::string XlsxTemplate::open(const std::string& path) {
    impl_.reset();
    return guarded([&] {
        auto impl = std::make_unique<Impl>();
        impl->dateFormatCode = dateFormatCode_;
        std::string err = impl->load(path);
        if (err.empty()) impl_ = std::move(impl);
        return err;
    });
}

bool XlsxTemplate::isOpen() const {
    return impl_ != nullptr;
}

int XlsxTemplate::sheetCount() const {
    return impl_ ? static_cast<int>(impl_->sheets.size()) : 0;
}

std::string XlsxTemplate::sheetName(int index) const {
    if (!impl_ || index < 1 || index > sheetCount()) return {};
    return impl_->sheets[static_cast<size_t>(index - 1)].name;
}

bool XlsxTemplate::hasSheet(std::string_view name) const {
    return impl_ && impl_->sheetIndex(name) >= 0;
}

std::string XlsxTemplate::resolveName(std::string_view name, SheetArea& out,
                                      std::string_view scopeSheet) const {
    if (!impl_) return kNotOpen;
    return guarded([&] { return impl_->resolve(name, out, scopeSheet); });
}

std::optional<SheetArea> XlsxTemplate::findName(std::string_view name,
                                                std::string_view scopeSheet) const {
    SheetArea a;
    if (!resolveName(name, a, scopeSheet).empty()) return std::nullopt;
    return a;
}

std::string XlsxTemplate::setText(std::string_view sheet, int row, int col, std::string_view text) {
    if (!impl_) return kNotOpen;
    return guarded([&] { return impl_->writeText(sheet, row, col, text); });
}

std::string XlsxTemplate::setNumber(std::string_view sheet, int row, int col, double value) {
    if (!impl_) return kNotOpen;
    return guarded([&] { return impl_->writeNumber(sheet, row, col, value); });
}

std::string XlsxTemplate::setNumberFromText(std::string_view sheet, int row, int col,
                                            std::string_view text) {
    const std::string_view t = trim(text);
    const double v = t.empty() ? NoValueReal : textToReal(t);
    if (!t.empty() && isNoValue(v)) return setText(sheet, row, col, text);
    return setNumber(sheet, row, col, v);
}

std::string XlsxTemplate::setDateTime(std::string_view sheet, int row, int col, double dateTime) {
    if (!impl_) return kNotOpen;
    if (dateTime == 0 || isNoValue(dateTime)) return clearCell(sheet, row, col);
    return guarded([&] {
        pugi::xml_node c;
        std::string err = impl_->writeNumber(sheet, row, col, dateTime, &c);
        if (!err.empty() || !c) return err;
        const int xf = c.attribute("s").as_int(0);
        const int ds = impl_->dateStyle(xf);
        if (ds != xf) {
            c.remove_attribute("s");
            c.append_attribute("s") = ds;
        }
        return std::string();
    });
}

std::string XlsxTemplate::clearCell(std::string_view sheet, int row, int col) {
    return setNumber(sheet, row, col, NoValueReal);
}

void XlsxTemplate::setDateTimeFormat(std::string formatCode) {
    if (formatCode.empty()) return;
    dateFormatCode_ = std::move(formatCode);
    if (!impl_) return;
    impl_->dateFormatCode = dateFormatCode_;
    impl_->dateStyleOf.clear();
}

int XlsxTemplate::lastUsedColumn(std::string_view sheet) const {
    if (!impl_) return 0;
    std::string err;
    int col = 0;
    guarded([&] {
        col = impl_->lastColumn(sheet, err);
        return err;
    });
    return col;
}

std::string XlsxTemplate::addSheet(std::string_view name) {
    if (!impl_) return kNotOpen;
    return guarded([&] { return impl_->addSheet(name); });
}

std::string XlsxTemplate::insertRows(std::string_view sheet, int beforeRow, int count) {
    if (!impl_) return kNotOpen;
    return guarded([&] { return impl_->insertRows(sheet, beforeRow, count); });
}

std::string XlsxTemplate::saveAs(const std::string& path) {
    if (!impl_) return kNotOpen;
    return guarded([&] { return impl_->save(path); });
}

}  // namespace kv
