#include "output/xlsx_writer.h"

#include <xlsxwriter.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "common/numtext.h"
#include "common/strutil.h"
#include "output/result_files.h"
#include "output/xlsx_refs.h"

namespace kv {

namespace {

constexpr int kMaxRows = 1048576;
constexpr int kMaxCols = 16384;

// Sheet names may not hold []:*?/\ and have at most 31 characters.
std::string sheetNameFrom(std::string_view name) {
    std::string out;
    size_t chars = 0;
    for (char c : xlsx::cellText(name)) {
        const auto u = static_cast<unsigned char>(c);
        if ((u & 0xC0) != 0x80 && ++chars > 31) break;
        out += (std::strchr("[]:*?/\\", c) != nullptr || u < 0x20) ? '_' : c;
    }
    if (trim(out).empty() || out.front() == '\'' || out.back() == '\'') out = "Data";
    return out;
}

}  // namespace

XlsxSheetWriter::~XlsxSheetWriter() {
    if (wb_ == nullptr) return;
    // Closing is the only way to free the workbook; the half-written file is removed.
    workbook_close(wb_);
    std::error_code ec;
    std::filesystem::remove(tmpName_, ec);
}

std::string XlsxSheetWriter::open(const std::string& fileName, std::string_view sheetName) {
    if (wb_ != nullptr) return "A workbook is already being written";
    fileName_ = fileName;
    tmpName_ = temporaryPathFor(fileName);
    error_.clear();
    formats_.clear();
    row_ = col_ = 0;
    // Checked here so that a wrong folder is reported before any data is assembled.
    const std::filesystem::path folder = std::filesystem::path(fileName).parent_path();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
        return error_ = "Cannot write file [" + fileName + "]: the folder does not exist";
    wb_ = workbook_new(tmpName_.c_str());
    if (wb_ == nullptr) return error_ = "Cannot write file [" + fileName + "]";
    ws_ = workbook_add_worksheet(wb_, sheetNameFrom(sheetName).c_str());
    if (ws_ == nullptr) error_ = "Cannot write file [" + fileName + "]: no worksheet";
    return error_;
}

void XlsxSheetWriter::noteError(int lxwError) {
    if (lxwError == LXW_NO_ERROR || !error_.empty()) return;
    error_ =
        "Cannot write file [" + fileName_ + "]: " + lxw_strerror(static_cast<lxw_error>(lxwError));
}

bool XlsxSheetWriter::ready() {
    if (ws_ == nullptr || !error_.empty()) return false;
    if (row_ >= kMaxRows || col_ >= kMaxCols) {
        error_ = "Cannot write file [" + fileName_ + "]: more data than a sheet holds";
        return false;
    }
    return true;
}

lxw_format* XlsxSheetWriter::format(std::string_view numFormat) {
    if (numFormat.empty()) return nullptr;
    if (auto it = formats_.find(numFormat); it != formats_.end()) return it->second;
    lxw_format* f = workbook_add_format(wb_);
    if (f != nullptr) format_set_num_format(f, std::string(numFormat).c_str());
    formats_.emplace(std::string(numFormat), f);
    return f;
}

void XlsxSheetWriter::nextRow() {
    ++row_;
    col_ = 0;
}

void XlsxSheetWriter::addText(std::string_view text) {
    if (!ready()) return;
    const std::string s = xlsx::cellText(text);
    if (!s.empty())
        noteError(worksheet_write_string(ws_, static_cast<lxw_row_t>(row_),
                                         static_cast<lxw_col_t>(col_), s.c_str(), nullptr));
    ++col_;
}

void XlsxSheetWriter::addNumber(double value, std::string_view numFormat) {
    if (!ready()) return;
    if (!isNoValue(value) && std::isfinite(value))
        noteError(worksheet_write_number(ws_, static_cast<lxw_row_t>(row_),
                                         static_cast<lxw_col_t>(col_), value, format(numFormat)));
    ++col_;
}

void XlsxSheetWriter::addDateTime(double dateTime, std::string_view numFormat) {
    if (dateTime == 0 || isNoValue(dateTime)) {
        addEmpty();
        return;
    }
    addNumber(dateTime, numFormat.empty() ? "dd.mm.yyyy hh:mm:ss" : numFormat);
}

void XlsxSheetWriter::addEmpty() {
    if (ready()) ++col_;
}

std::string XlsxSheetWriter::close() {
    if (wb_ == nullptr) return error_.empty() ? "No workbook is being written" : error_;
    const lxw_error rc = workbook_close(wb_);
    wb_ = nullptr;
    ws_ = nullptr;
    formats_.clear();
    noteError(rc);
    if (!error_.empty()) {
        std::error_code ec;
        std::filesystem::remove(tmpName_, ec);
        return error_;
    }
    return replaceFileWith(tmpName_, fileName_);
}

}  // namespace kv
