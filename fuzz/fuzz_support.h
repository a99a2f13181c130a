#pragma once
// What the fuzz targets share: a scratch folder for inputs that arrive as files, and the
// program's objects in virtual time (configuration, device list over the in-process lab,
// acquisition with its cell table, the rows), built once per process.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/acquisition.h"
#include "app/config.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "device/device_list.h"
#include "device/ft_backend.h"
#include "rows/rows.h"
#include "sim/sim_port.h"

namespace kvfuzz {

inline std::string_view asText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A folder of this process, in memory where there is one.
inline const std::string& scratch() {
    static const std::string dir = [] {
        std::string tmpl = std::filesystem::exists("/dev/shm") ? "/dev/shm/kelvora-fuzz-XXXXXX"
                                                               : "/tmp/kelvora-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) abort();
        return tmpl;
    }();
    return dir;
}

inline std::string writeInput(const std::string& name, std::string_view content) {
    const std::string path = scratch() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
}

// Virtual time: device waits and pauses cost nothing.
inline kv::ManualClock& virtualClock() {
    static kv::ManualClock c(kv::encodeDateTime(2026, 3, 2, 8, 0, 0));
    static const bool installed = (kv::setClock(&c), true);
    (void)installed;
    return c;
}

struct World {
    kv::Config cfg;
    kv::RunFlagSet flags;
    kv::HeadlessStatusOutput status;
    kv::RowsHooks hooks;
    std::unique_ptr<kv::FTLink> link;
    std::unique_ptr<kv::DeviceProtocol> proto;
    std::unique_ptr<kv::DeviceList> list;
    std::unique_ptr<kv::Acquisition> acq;
    std::unique_ptr<kv::TRows> rows;

    World(std::vector<std::shared_ptr<kv::sim::SimPort>> ports,
          std::vector<kv::UsbDeviceSettings> devices) {
        virtualClock();
        kv::setDateTimeFormat("GE");
        cfg.DataRoot = scratch() + "/Data";
        cfg.Cells = 12;
        cfg.DelayBetweenStartCells = 0;
        cfg.DelayBetweenStopCells = 0;
        cfg.devices = std::move(devices);
        link = std::make_unique<kv::FTLink>(kv::makeSimBackend(std::move(ports)));
        proto = std::make_unique<kv::DeviceProtocol>(*link);
        list = std::make_unique<kv::DeviceList>(*link, *proto, &flags.configCmdInProgress);
        list->USB_Init(0);
        list->mapDevices(cfg);
        acq = std::make_unique<kv::Acquisition>(cfg, *list, flags.refs(), status, scratch());
        for (int i = 1; i <= kv::kMaxCells; ++i) acq->cells.InitCell(i);
        kv::RowsEnv env{cfg,          nullptr, acq->cells, *list,     acq->io,
                        flags.refs(), nullptr, nullptr,    scratch(), scratch() + "/Kelvora.Row",
                        hooks};
        rows = std::make_unique<kv::TRows>(env);
        acq->cells.setRowLookup(rows.get());
    }

    // A running series on the given cells, started now.
    std::shared_ptr<kv::TRow> runningRow(const std::vector<int>& cells) {
        const int nr = rows->NewRow(0);
        auto r = rows->FindByUniqueNr(nr);
        {
            auto lock = rows->lock();
            r->Name = "Fuzz";
            for (int c : cells)
                r->AddCell(c, "Cell", 250, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
            r->Interval = 1;
            r->SIInterval = kv::TimeUnit::Minutes;
            r->Duration = 1;
            r->SIDuration = kv::TimeUnit::Days;
        }
        r->StartRow(false);
        for (int s = 1; s <= r->NrCells; ++s) r->StartCellInRow(s, 0);
        return r;
    }
};

inline kv::UsbDeviceSettings dataDevice(const std::string& serial, int from) {
    kv::UsbDeviceSettings s;
    s.SerialNr = serial;
    s.Type = kv::DeviceType::Data;
    s.Case = 1;
    s.physCellNr_From = from;
    s.physCellNr_To = from + 5;
    return s;
}

}  // namespace kvfuzz
