#pragma once
// The OECD 301F export: the row's O2 (and CO2) values of every cell and time value and the
// test configuration with its cell list, filled into the 301F template (Template_301f, else
// the shipped one) and saved as <result folder>/<row name>_301f.xlsx.
//
//   std::string file;
//   std::string err = Export301f(row, &file);   // "" = saved to file
//
// Errors come back as a text and also reach the message list and the debug log.

#include <string>

namespace kv {

class TRow;

std::string Export301f(TRow& row, std::string* savedFile = nullptr);

}  // namespace kv
