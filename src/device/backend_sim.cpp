// The in-process backend: the virtual lab's ports stand in for attached FTDI devices.

#include <mutex>

#include "device/ft_backend.h"
#include "device/handle_table.h"
#include "sim/sim_port.h"

namespace kv {
namespace {

struct OpenSimPort {
    std::mutex io;
    std::shared_ptr<sim::SimPort> port;
    bool gone = false;  // seen unplugged: the handle is dead even after a replug
};

class SimBackend : public FTBackend {
  public:
    explicit SimBackend(std::vector<std::shared_ptr<sim::SimPort>> ports)
        : ports_(std::move(ports)) {}

    std::string name() const override { return "sim"; }

    int deviceCount(int& count) override {
        std::lock_guard lock(listMutex_);
        rescanLocked();
        count = static_cast<int>(seen_.size());
        return FT_OK;
    }
    int serialNr(int index, std::string& out) override {
        auto p = portAt(index);
        if (!p) return FT_DEVICE_NOT_FOUND;
        out = p->serialNr();
        return FT_OK;
    }
    int description(int index, std::string& out) override {
        auto p = portAt(index);
        if (!p) return FT_DEVICE_NOT_FOUND;
        out = p->description();
        return FT_OK;
    }
    int locId(int index, long& out) override {
        auto p = portAt(index);
        if (!p) return FT_DEVICE_NOT_FOUND;
        out = p->locId();
        return FT_OK;
    }

    int open(int index, LinkHandle& handle) override {
        handle = kInvalidHandle;
        auto p = portAt(index);
        if (!p || !p->plugged()) return FT_DEVICE_NOT_FOUND;
        auto open = std::make_shared<OpenSimPort>();
        open->port = std::move(p);
        handle = handles_.add(std::move(open));
        return FT_OK;
    }
    int close(LinkHandle handle) override {
        return handles_.remove(handle) ? FT_OK : FT_INVALID_HANDLE;
    }

    int setBaudRate(LinkHandle handle, int baud) override {
        if (baud <= 0) return FT_INVALID_BAUD_RATE;
        return withPort(handle, [](OpenSimPort&) { return FT_OK; });
    }
    int setFlowControlNone(LinkHandle handle) override {
        return withPort(handle, [](OpenSimPort&) { return FT_OK; });
    }
    int setData8N1(LinkHandle handle) override {
        return withPort(handle, [](OpenSimPort&) { return FT_OK; });
    }

    int write(LinkHandle handle, std::string_view bytes, size_t& written) override {
        written = 0;
        return withPort(handle, [&](OpenSimPort& p) {
            if (!p.port->write(bytes)) return markGone(p);
            written = bytes.size();
            return static_cast<int>(FT_OK);
        });
    }
    int queueStatus(LinkHandle handle, size_t& queued) override {
        queued = 0;
        return withPort(handle, [&](OpenSimPort& p) {
            queued = p.port->queued();
            return static_cast<int>(FT_OK);
        });
    }
    int read(LinkHandle handle, size_t maxBytes, std::string& out) override {
        out.clear();
        return withPort(handle, [&](OpenSimPort& p) {
            if (maxBytes > 0) out = p.port->read(maxBytes);
            return static_cast<int>(FT_OK);
        });
    }

  private:
    // Enumeration lists the plugged ports in the lab's order.
    void rescanLocked() {
        seen_.clear();
        for (const auto& p : ports_)
            if (p && p->plugged()) seen_.push_back(p);
    }
    std::shared_ptr<sim::SimPort> portAt(int index) {
        std::lock_guard lock(listMutex_);
        if (index < 0) return nullptr;
        if (static_cast<size_t>(index) >= seen_.size()) rescanLocked();
        if (static_cast<size_t>(index) >= seen_.size()) return nullptr;
        return seen_[static_cast<size_t>(index)];
    }
    static int markGone(OpenSimPort& p) {
        p.gone = true;
        return FT_IO_ERROR;
    }
    template <class F>
    int withPort(LinkHandle handle, F f) {
        return handles_.with(handle, usable, f);
    }
    static int usable(OpenSimPort& p) {
        if (p.gone) return FT_IO_ERROR;
        return p.port->plugged() ? static_cast<int>(FT_OK) : markGone(p);
    }

    std::vector<std::shared_ptr<sim::SimPort>> ports_;
    std::mutex listMutex_;
    std::vector<std::shared_ptr<sim::SimPort>> seen_;
    detail::HandleTable<OpenSimPort> handles_;
};

}  // namespace

std::unique_ptr<FTBackend> makeSimBackend(std::vector<std::shared_ptr<sim::SimPort>> ports) {
    return std::make_unique<SimBackend>(std::move(ports));
}

}  // namespace kv
