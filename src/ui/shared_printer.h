#pragma once
// The printer the windows share: the main window's printer setup chooses it, the row data
// and chart windows print on it. Window thread only.

#include <QPrinter>

namespace kv::ui {

QPrinter& sharedPrinter();

}  // namespace kv::ui
