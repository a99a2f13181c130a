// Userspace USB through libftdi1, for machines where the kernel's FTDI driver is not wanted
// (or the device's vendor and product ids are not known to it). Needs access to the USB
// device node; see docs/HARDWARE.md.

#include "device/ft_backend.h"

#ifdef KELVORA_HAVE_LIBFTDI

#include <ftdi.h>
#include <libusb.h>

#include <cstdio>
#include <mutex>

#include "app/debuglog.h"
#include "device/handle_table.h"
#include "device/listing_backend.h"

namespace kv {
namespace {

struct UsbEntry {
    int vendor = 0, product = 0;
    int bus = 0, address = 0;
    std::string serial = "n/a";
    std::string description = "n/a";
    long locId = -1;
};

struct OpenFtdi {
    std::mutex io;
    ftdi_context* ctx = nullptr;
    std::string pending;  // bytes taken from USB but not yet read by the caller
    bool gone = false;
    ~OpenFtdi() {
        if (!ctx) return;
        if (!gone) ftdi_usb_close(ctx);
        ftdi_free(ctx);
    }
};

class LibftdiBackend : public detail::ListingBackend<UsbEntry> {
  public:
    std::string name() const override { return "libftdi"; }

    int open(int index, LinkHandle& handle) override {
        handle = kInvalidHandle;
        UsbEntry e;
        if (!entryAt(index, e)) return FT_DEVICE_NOT_FOUND;
        auto f = std::make_shared<OpenFtdi>();
        f->ctx = ftdi_new();
        if (!f->ctx) return FT_INSUFFICIENT_RESOURCES;
        // By bus and address: unique even when two devices share a serial number.
        char desc[32];
        std::snprintf(desc, sizeof desc, "d:%03d/%03d", e.bus, e.address);
        if (ftdi_usb_open_string(f->ctx, desc) < 0) {
            f->gone = true;  // nothing to close
            return FT_DEVICE_NOT_OPENED;
        }
        ftdi_set_latency_timer(f->ctx, 1);
        f->ctx->usb_read_timeout = 50;
        handle = handles_.add(std::move(f));
        return FT_OK;
    }
    int close(LinkHandle handle) override {
        return handles_.remove(handle) ? FT_OK : FT_INVALID_HANDLE;
    }

    int setBaudRate(LinkHandle handle, int baud) override {
        return withDev(handle, [&](OpenFtdi& f) -> int {
            return ftdi_set_baudrate(f.ctx, baud) < 0 ? FT_INVALID_BAUD_RATE : FT_OK;
        });
    }
    int setFlowControlNone(LinkHandle handle) override {
        return withDev(handle, [&](OpenFtdi& f) -> int {
            return ftdi_setflowctrl(f.ctx, SIO_DISABLE_FLOW_CTRL) < 0 ? lost(f) : FT_OK;
        });
    }
    int setData8N1(LinkHandle handle) override {
        return withDev(handle, [&](OpenFtdi& f) -> int {
            return ftdi_set_line_property(f.ctx, BITS_8, STOP_BIT_1, NONE) < 0 ? lost(f) : FT_OK;
        });
    }

    int write(LinkHandle handle, std::string_view bytes, size_t& written) override {
        written = 0;
        return withDev(handle, [&](OpenFtdi& f) -> int {
            const int n =
                ftdi_write_data(f.ctx, reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
            if (n < 0) return lost(f);
            written = static_cast<size_t>(n);
            return FT_OK;
        });
    }
    // The chip has no queue query: fetch what it holds into our own buffer and count that.
    int queueStatus(LinkHandle handle, size_t& queued) override {
        queued = 0;
        return withDev(handle, [&](OpenFtdi& f) -> int {
            if (f.pending.size() < 4999) {
                unsigned char buf[4096];
                const int n = ftdi_read_data(f.ctx, buf, sizeof buf);
                if (n < 0) return lost(f);
                f.pending.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
            }
            queued = f.pending.size();
            return FT_OK;
        });
    }
    int read(LinkHandle handle, size_t maxBytes, std::string& out) override {
        out.clear();
        return withDev(handle, [&](OpenFtdi& f) -> int {
            const size_t n = std::min(maxBytes, f.pending.size());
            out = f.pending.substr(0, n);
            f.pending.erase(0, n);
            return FT_OK;
        });
    }

  private:
    bool rescanLocked() override;
    // A failed transfer almost always means the device was unplugged: release it so the
    // replugged device can be opened again under a new handle.
    static int lost(OpenFtdi& f) {
        ftdi_usb_close(f.ctx);
        f.gone = true;
        WriteDbg("FT.DLL",
                 std::string("libftdi: ") + ftdi_get_error_string(f.ctx) + " - device released");
        return FT_IO_ERROR;
    }
    template <class F>
    int withDev(LinkHandle handle, F f) {
        return handles_.with(
            handle, [](OpenFtdi& d) { return d.gone ? FT_IO_ERROR : FT_OK; }, f);
    }

    detail::HandleTable<OpenFtdi> handles_;
};

bool LibftdiBackend::rescanLocked() {
    seen_.clear();
    ftdi_context* ctx = ftdi_new();
    if (!ctx) return false;
    ftdi_device_list* list = nullptr;
    // Vendor and product 0: every product id the library knows as FTDI.
    const int n = ftdi_usb_find_all(ctx, &list, 0, 0);
    if (n < 0) {
        ftdi_free(ctx);
        return false;
    }
    for (ftdi_device_list* d = list; d; d = d->next) {
        UsbEntry e;
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(d->dev, &desc) == 0) {
            e.vendor = desc.idVendor;
            e.product = desc.idProduct;
        }
        e.bus = libusb_get_bus_number(d->dev);
        e.address = libusb_get_device_address(d->dev);
        uint8_t ports[8];
        const int depth = libusb_get_port_numbers(d->dev, ports, 8);
        if (depth > 0) {
            e.locId = e.bus;
            for (int i = 0; i < depth; ++i) e.locId = e.locId * 16 + ports[i];
        }
        char descr[65] = {}, serial[17] = {};
        if (ftdi_usb_get_strings(ctx, d->dev, nullptr, 0, descr, sizeof descr, serial,
                                 sizeof serial) == 0) {
            if (serial[0]) e.serial = serial;
            if (descr[0]) e.description = descr;
        }
        seen_.push_back(std::move(e));
    }
    ftdi_list_free(&list);
    ftdi_free(ctx);
    return true;
}

}  // namespace

std::unique_ptr<FTBackend> makeLibftdiBackend() {
    return std::make_unique<LibftdiBackend>();
}

}  // namespace kv

#else

namespace kv {
std::unique_ptr<FTBackend> makeLibftdiBackend() {
    return nullptr;
}
}  // namespace kv

#endif
