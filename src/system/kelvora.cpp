#include "system/kelvora.h"

namespace kv {

double RowsCo2Access::lastLF0(int rowNr) const {
    auto lock = rows_.lock();
    const auto row = rows_.FindByUniqueNr(rowNr);
    return row ? row->last_LF_0 : -1.0;
}

void RowsCo2Access::setLastLF0(int rowNr, double lf0) {
    auto lock = rows_.lock();
    if (const auto row = rows_.FindByUniqueNr(rowNr)) row->last_LF_0 = lf0;
}

void RowsCo2Access::setCellLF0(int rowNr, int cell, double lf0) {
    auto lock = rows_.lock();
    const auto row = rows_.FindByUniqueNr(rowNr);
    if (!row) return;
    for (auto& rc : row->RowCells)
        if (rc.CellNr == cell) rc.cdm_LF_0 = lf0;
}

namespace {
std::array<std::unique_ptr<TEC71>, kMaxEC71Meters> makeMeters(TMuxCycle& mux) {
    std::array<std::unique_ptr<TEC71>, kMaxEC71Meters> m;
    for (auto& p : m) p = std::make_unique<TEC71>(&mux.MeasureCount);
    return m;
}

std::array<TEC71*, kMaxEC71Meters> pointers(
    const std::array<std::unique_ptr<TEC71>, kMaxEC71Meters>& meters) {
    std::array<TEC71*, kMaxEC71Meters> p{};
    for (size_t i = 0; i < meters.size(); ++i) p[i] = meters[i].get();
    return p;
}
}  // namespace

TKelvora::TKelvora(IniFile& ini, const std::string& homeFolder, const std::string& rowFileName,
                   RowsHooks rowsHooks, std::vector<std::shared_ptr<sim::SimPort>> simPorts)
    : ini(ini),
      // The virtual lab's devices, when given, are the devices of this run whatever the
      // configuration's Backend= says (--simulate leaves the configuration alone).
      link(simPorts.empty() ? makeBackendFromConfig(ini)
                            : makeSimBackend(std::move(simPorts))),
      protocol(link),
      devices(link, protocol, &configCmdInProgress),
      acq(cfg, devices, runFlags(), status, homeFolder),
      rows(RowsEnv{cfg, &ini, acq.cells, devices, acq.io, runFlags(), &cdmCallbackBusy,
                   &rowAutoSaveBlocked, homeFolder, rowFileName, std::move(rowsHooks)}),
      ec71(makeMeters(mux)),
      ec71Ptrs(pointers(ec71)),
      relays(cfg, devices, acq.io, mux),
      rowsCo2(rows),
      cdmCycle(cfg, acq.cells, cdm, relays, mux, runFlags(), cdmCallbackBusy, &rowsCo2),
      ec71Cycle(cfg, acq.cells, ec71Meters(), relays, mux, runFlags(), &rowsCo2) {}


}  // namespace kv
