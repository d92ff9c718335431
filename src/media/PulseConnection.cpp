#include "media/PulseConnection.h"

namespace platform::pulse {

namespace {
struct Deadline {
    Connection* connection;
    bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->passed = true;
    deadline->connection->signal();
}
}  // namespace

std::expected<std::unique_ptr<Connection>, std::string> Connection::open(
    const char* clientName, std::chrono::milliseconds timeout) {
    std::unique_ptr<Connection> connection(new Connection());
    connection->m_loop = pa_threaded_mainloop_new();
    if (!connection->m_loop) {
        return std::unexpected("cannot create a PulseAudio main loop");
    }
    connection->m_context =
        pa_context_new(pa_threaded_mainloop_get_api(connection->m_loop), clientName);
    if (!connection->m_context) {
        return std::unexpected("cannot create a PulseAudio context");
    }
    pa_context_set_state_callback(
        connection->m_context,
        [](pa_context*, void* userdata) { static_cast<Connection*>(userdata)->signal(); },
        connection.get());
    // Never autospawn: with no server the caller gets an error at once instead of a hang.
    if (pa_context_connect(connection->m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return std::unexpected("no PulseAudio server (" + connection->lastError() + ")");
    }
    if (pa_threaded_mainloop_start(connection->m_loop) < 0) {
        return std::unexpected("cannot start the PulseAudio main loop");
    }
    Lock lock(*connection);
    pa_context* context = connection->m_context;
    const bool settled = connection->waitUntil(
        [context] {
            const pa_context_state_t state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        timeout);
    if (!settled) {
        return std::unexpected("no PulseAudio server (no answer within the time limit)");
    }
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        return std::unexpected("no PulseAudio server (" + connection->lastError() + ")");
    }
    return connection;
}

Connection::~Connection() {
    if (m_context) {
        if (m_loop) {
            pa_threaded_mainloop_lock(m_loop);
        }
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        if (m_loop) {
            pa_threaded_mainloop_unlock(m_loop);
        }
    }
    if (m_loop) {
        // Joins the loop thread (a no-op when it never started): no callback runs after this.
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
    }
}

bool Connection::inLoopThread() const {
    return pa_threaded_mainloop_in_thread(m_loop) != 0;
}

bool Connection::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (done()) {
        return true;
    }
    // pa_threaded_mainloop_wait has no time limit: a timer on the loop wakes us at the deadline.
    Deadline deadline{this};
    pa_time_event* timer = pa_context_rttime_new(
        m_context, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
        onDeadline, &deadline);
    bool result = false;
    while (!(result = done()) && !deadline.passed && timer) {
        pa_threaded_mainloop_wait(m_loop);
    }
    if (timer) {
        pa_threaded_mainloop_get_api(m_loop)->time_free(timer);
    }
    return result;
}

bool Connection::finish(pa_operation* operation, std::chrono::milliseconds timeout) {
    if (!operation) {
        return false;
    }
    pa_operation_set_state_callback(
        operation,
        [](pa_operation*, void* userdata) { static_cast<Connection*>(userdata)->signal(); }, this);
    const bool done = waitUntil(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, timeout);
    if (!done) {
        pa_operation_cancel(
            operation);  // its callback, which may point at the caller's stack, never runs now
    }
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return done;
}

void Connection::signal() {
    pa_threaded_mainloop_signal(m_loop, 0);
}

std::string Connection::lastError() const {
    return pa_strerror(pa_context_errno(m_context));
}

}  // namespace platform::pulse
