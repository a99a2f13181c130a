#include "ui/shared_printer.h"

namespace kv::ui {

QPrinter& sharedPrinter() {
    static QPrinter printer(QPrinter::HighResolution);
    return printer;
}

}  // namespace kv::ui
