#include "media/PulseDeviceDiscovery.h"
#include "media/PulseConnection.h"
#include "platform/NotificationCenter.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

namespace platform {

namespace {

using pulse::Connection;

bool containsInsensitive(std::string text, std::string_view word) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.find(word) != std::string::npos;
}

bool isInternalPort(const pa_source_port_info* port) {
    return port && port->name &&
           (containsInsensitive(port->name, "internal") ||
            containsInsensitive(port->name, "builtin"));
}

// The machine's own audio input. udev marks a laptop's sound card "internal" (PipeWire's own
// name for the property has a hyphen; either is taken). Without that mark, a source with an
// internal microphone port is the built-in one whichever port is active: a headset plugged into
// the laptop's jack does not make the laptop's card external.
bool isBuiltIn(const pa_source_info& info) {
    for (const char* key : {PA_PROP_DEVICE_FORM_FACTOR, "device.form-factor"}) {
        const char* formFactor = pa_proplist_gets(info.proplist, key);
        if (formFactor && std::string_view(formFactor) == "internal") {
            return true;
        }
    }
    for (uint32_t i = 0; info.ports && i < info.n_ports; ++i) {
        if (isInternalPort(info.ports[i])) {
            return true;
        }
    }
    return false;
}

// Lists the machine's sources once, then follows Pulse's source events into a cache, so
// devices() never waits on the server.
class PulseDeviceDiscovery final : public CaptureDeviceDiscovery {
  public:
    PulseDeviceDiscovery() {
        auto connection = Connection::open("Korvane devices", pulse::kConnectTimeout);
        if (!connection) {
            return;  // no server: no devices
        }
        m_connection = std::move(*connection);
        Connection::Lock lock(*m_connection);
        pa_context* context = m_connection->context();
        // Subscribe before listing so a source added in between is not missed.
        pa_context_set_subscribe_callback(context, &PulseDeviceDiscovery::onEvent, this);
        m_connection->finish(
            pa_context_subscribe(context,
                                 static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                                     PA_SUBSCRIPTION_MASK_SERVER),
                                 nullptr, nullptr),
            pulse::kConnectTimeout);
        m_connection->finish(
            pa_context_get_server_info(context, &PulseDeviceDiscovery::onServerInfo, this),
            pulse::kConnectTimeout);
        m_connection->finish(
            pa_context_get_source_info_list(context, &PulseDeviceDiscovery::onInitialSource, this),
            pulse::kConnectTimeout);
    }

    ~PulseDeviceDiscovery() override {
        if (m_connection) {
            Connection::Lock lock(*m_connection);
            pa_context_set_subscribe_callback(m_connection->context(), nullptr, nullptr);
        }
        // Pending info callbacks hold `this`; the connection joins Pulse's thread before we go.
        m_connection.reset();
    }

    std::vector<CaptureDevice> devices() const override {
        std::lock_guard lock(m_mutex);
        std::vector<CaptureDevice> result;
        result.reserve(m_devices.size());
        for (const auto& [index, device] : m_devices) {
            result.push_back(device);
        }
        return result;
    }

    std::optional<CaptureDevice> defaultDevice() const override {
        std::lock_guard lock(m_mutex);
        if (m_devices.empty()) {
            return std::nullopt;
        }
        for (const auto& [index, device] : m_devices) {
            if (device.uniqueID == m_defaultName) {
                return device;
            }
        }
        return m_devices.begin()->second;  // the default is a monitor or unknown
    }

  private:
    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<PulseDeviceDiscovery*>(userdata);
        std::lock_guard lock(self->m_mutex);
        self->m_defaultName = info && info->default_source_name ? info->default_source_name : "";
    }

    static void onInitialSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        if (eol == 0 && info) {
            static_cast<PulseDeviceDiscovery*>(userdata)->record(*info, false);
        }
    }

    static void onChangedSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        if (eol == 0 && info) {
            static_cast<PulseDeviceDiscovery*>(userdata)->record(*info, true);
        }
    }

    static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                        void* userdata) {
        auto* self = static_cast<PulseDeviceDiscovery*>(userdata);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        // Fire and forget: the answers come back on this thread, which the destructor joins.
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            if (pa_operation* op = pa_context_get_server_info(
                    context, &PulseDeviceDiscovery::onServerInfo, self)) {
                pa_operation_unref(op);
            }
        } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
            if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
                self->forget(index);
            } else if (pa_operation* op = pa_context_get_source_info_by_index(
                           context, index, &PulseDeviceDiscovery::onChangedSource, self)) {
                pa_operation_unref(op);
            }
        }
    }

    void record(const pa_source_info& info, bool announce) {
        if (info.monitor_of_sink != PA_INVALID_INDEX) {
            return;
        }
        CaptureDevice device{info.name ? info.name : "", info.description ? info.description : "",
                             isBuiltIn(info)};
        bool added = false;
        {
            std::lock_guard lock(m_mutex);
            added = m_devices.insert_or_assign(info.index, device).second;
        }
        if (added && announce) {
            NotificationCenter::defaultCenter().post(
                kCaptureDeviceWasConnected,
                {{"uniqueID", QString::fromStdString(device.uniqueID)}});
        }
    }

    void forget(uint32_t index) {
        std::string name;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_devices.find(index);
            if (it == m_devices.end()) {
                return;  // a monitor, or never seen
            }
            name = it->second.uniqueID;
            m_devices.erase(it);
        }
        NotificationCenter::defaultCenter().post(kCaptureDeviceWasDisconnected,
                                                 {{"uniqueID", QString::fromStdString(name)}});
    }

    std::unique_ptr<Connection> m_connection;
    mutable std::mutex m_mutex;                   // guards the cache, read from the main thread
    std::map<uint32_t, CaptureDevice> m_devices;  // by Pulse's source index
    std::string m_defaultName;
};

}  // namespace

std::unique_ptr<CaptureDeviceDiscovery> makePulseDeviceDiscovery() {
    return std::make_unique<PulseDeviceDiscovery>();
}

}  // namespace platform
