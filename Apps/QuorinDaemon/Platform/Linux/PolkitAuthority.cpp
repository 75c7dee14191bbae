#include "QuorinDaemon/Platform/Linux/PolkitAuthority.hpp"

#include <gio/gio.h>
#include <glib-unix.h>
#include <polkit/polkit.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>

namespace quorin::daemon {

// Callers hand checks over through `submitted` and count them in `inFlight`, both guarded by
// `mutex` (which also orders a caller's request before its handling for the thread sanitizer, to
// which GLib's own locks are invisible); everything else belongs to the loop's thread.
struct PolkitAuthority::Loop {
    struct Submitted {
        AuthorizationSubject subject;
        std::string action;
        std::function<void(AuthorizationAnswer)> done;
        bool pastBound = false;  // answered at once: the checks in flight were at the bound
    };

    // One check, from its handover until it is answered and no call of the library refers to it.
    struct Check {
        Loop* loop;
        AuthorizationSubject subject;
        std::string action;
        std::function<void(AuthorizationAnswer)> done;  // empty once answered
        GCancellable* cancellable = g_cancellable_new();
        GSource* timer = nullptr;
        bool calling = false;  // the library holds this check until its callback runs
    };

    Loop(std::shared_ptr<LogSink> logSink, std::chrono::milliseconds timeoutOfEachCheck)
        : log(std::move(logSink), std::string(daemonLogSubsystem), "authority"),
          timeout(timeoutOfEachCheck) {
        if (wakeUp < 0) {
            throw std::system_error(errno, std::generic_category(), "eventfd for the authority");
        }
        g_source_set_callback(wakeUpSource,
                              reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&woken)),
                              this, nullptr);
        g_source_attach(wakeUpSource, context);
    }

    ~Loop() {
        if (authority != nullptr) {
            g_object_unref(authority);
        }
        if (bus != nullptr) {
            g_object_unref(bus);
        }
        g_source_destroy(wakeUpSource);
        g_source_unref(wakeUpSource);
        ::close(wakeUp);
        g_main_loop_unref(mainLoop);
        g_main_context_unref(context);
    }

    void run() {
        g_main_context_push_thread_default(context);
        g_main_loop_run(mainLoop);
        g_main_context_pop_thread_default(context);
    }

    // Callers touch nothing of GLib's: they queue under `mutex` and wake the loop's thread
    // through an event descriptor, which it then drains.
    void wake() { static_cast<void>(::eventfd_write(wakeUp, 1)); }

    static gboolean woken(gint, GIOCondition, gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        eventfd_t ignored = 0;
        static_cast<void>(::eventfd_read(loop.wakeUp, &ignored));
        takeSubmitted(self);
        bool stopNow = false;
        {
            const std::lock_guard lock(loop.mutex);
            stopNow = loop.stopRequested && !loop.stopping;
        }
        if (stopNow) {
            loop.stop();
        }
        return G_SOURCE_CONTINUE;
    }

    void submit(Submitted request) {
        {
            const std::lock_guard lock(mutex);
            if (inFlight < maximumPendingChecks) {
                ++inFlight;
            } else {
                request.pastBound = true;
            }
            submitted.push_back(std::move(request));
        }
        wake();
    }

    static void takeSubmitted(gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        std::deque<Submitted> taken;
        {
            const std::lock_guard lock(loop.mutex);
            taken.swap(loop.submitted);
        }
        for (Submitted& request : taken) {
            loop.start(std::move(request));
        }
    }

    void start(Submitted request) {
        if (request.pastBound) {
            if (!refusingBurst) {
                refusingBurst = true;
                log.log(LogLevel::error,
                        "%{public}s authorization checks in flight: check of %{public}s "
                        "answered unavailable",
                        {LogValue::public_(std::to_string(maximumPendingChecks)),
                         LogValue::public_(request.action)});
            }
            request.done(AuthorizationAnswer::unavailable);
            return;
        }
        Check& check = checks.emplace_back(
            Check{this, request.subject, std::move(request.action), std::move(request.done)});
        if (stopping) {
            abandon(check);
            return;
        }
        check.timer = g_timeout_source_new(static_cast<guint>(timeout.count()));
        g_source_set_callback(check.timer, &Loop::timedOut, &check, nullptr);
        g_source_attach(check.timer, context);
        if (authority != nullptr && !g_dbus_connection_is_closed(bus)) {
            call(check);
        } else {
            connect();
        }
    }

    // The bus and the authority on it, once; a closed bus is replaced by a new connection.
    void connect() {
        if (connecting != nullptr) {
            return;
        }
        if (authority != nullptr) {
            g_object_unref(authority);
            authority = nullptr;
        }
        if (bus != nullptr) {
            g_object_unref(bus);
            bus = nullptr;
        }
        connecting = g_cancellable_new();
        g_bus_get(G_BUS_TYPE_SYSTEM, connecting, &Loop::busReady, this);
    }

    static void busReady(GObject*, GAsyncResult* result, gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        GError* error = nullptr;
        loop.bus = g_bus_get_finish(result, &error);
        if (loop.bus == nullptr) {
            loop.connectFailed(error);
            return;
        }
        // The bus going away (its daemon restarting) must not end the process, as it would by
        // default.
        g_dbus_connection_set_exit_on_close(loop.bus, FALSE);
        polkit_authority_get_async(loop.connecting, &Loop::authorityReady, self);
    }

    static void authorityReady(GObject*, GAsyncResult* result, gpointer self) {
        auto& loop = *static_cast<Loop*>(self);
        GError* error = nullptr;
        loop.authority = polkit_authority_get_finish(result, &error);
        if (loop.authority == nullptr) {
            loop.connectFailed(error);
            return;
        }
        g_clear_object(&loop.connecting);
        for (Check& check : loop.checks) {
            if (check.done && !check.calling) {
                loop.call(check);
            }
        }
        loop.stopIfIdle();  // stopping came too late to cancel the connection
    }

    void connectFailed(GError* error) {
        g_clear_object(&connecting);
        if (stopping) {
            g_error_free(error);  // the cancellation that stopping asked for
        } else {
            logFailure(error);
        }
        for (auto check = checks.begin(); check != checks.end();) {
            auto next = std::next(check);
            if (!check->calling) {
                abandon(*check);
            }
            check = next;
        }
        stopIfIdle();
    }

    void call(Check& check) {
        PolkitSubject* subject = polkit_unix_process_new_for_owner(
            check.subject.pid, check.subject.startTime, static_cast<gint>(check.subject.uid));
        check.calling = true;
        polkit_authority_check_authorization(
            authority, subject, check.action.c_str(), nullptr,
            POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION, check.cancellable,
            &Loop::checked, &check);
        g_object_unref(subject);
    }

    static void checked(GObject* authority, GAsyncResult* result, gpointer data) {
        auto& check = *static_cast<Check*>(data);
        Loop& loop = *check.loop;
        check.calling = false;
        GError* error = nullptr;
        PolkitAuthorizationResult* outcome = polkit_authority_check_authorization_finish(
            reinterpret_cast<::PolkitAuthority*>(authority), result, &error);
        if (outcome == nullptr) {
            if (check.done) {
                loop.logFailure(error);
                loop.answer(check, AuthorizationAnswer::unavailable);
            } else {
                g_error_free(error);
            }
        } else {
            if (check.done) {
                loop.answer(check, polkit_authorization_result_get_is_authorized(outcome)
                                       ? AuthorizationAnswer::authorized
                                       : AuthorizationAnswer::refused);
            }
            g_object_unref(outcome);
        }
        loop.release(check);
        loop.stopIfIdle();
    }

    static gboolean timedOut(gpointer data) {
        auto& check = *static_cast<Check*>(data);
        Loop& loop = *check.loop;
        loop.log.log(LogLevel::error,
                     "authorization check of %{public}s unanswered after %{public}s ms: cancelled",
                     {LogValue::public_(check.action),
                      LogValue::public_(std::to_string(loop.timeout.count()))});
        loop.abandon(check);
        return G_SOURCE_REMOVE;
    }

    // Answers `check` unavailable unless it was answered, and lets the library's call go.
    void abandon(Check& check) {
        if (check.done) {
            answer(check, AuthorizationAnswer::unavailable);
        }
        if (check.timer != nullptr) {
            g_source_destroy(check.timer);
            g_source_unref(check.timer);
            check.timer = nullptr;
        }
        g_cancellable_cancel(check.cancellable);
        if (!check.calling) {
            release(check);
        }
    }

    void logFailure(GError* error) {
        std::string message = error->message;
        g_error_free(error);
        if (loggedFailures.contains(message)) {
            return;
        }
        if (loggedFailures.size() < maximumRememberedFailures) {
            loggedFailures.insert(message);
        }
        log.log(LogLevel::error, "cannot ask the authorization service: %{public}s",
                {LogValue::public_(message)});
    }

    void answer(Check& check, AuthorizationAnswer outcome) {
        const auto done = std::move(check.done);
        check.done = nullptr;
        {
            const std::lock_guard lock(mutex);
            --inFlight;
        }
        refusingBurst = false;
        done(outcome);
    }

    // Forgets an answered check that no call of the library holds any more.
    void release(Check& check) {
        if (check.timer != nullptr) {
            g_source_destroy(check.timer);
            g_source_unref(check.timer);
        }
        g_object_unref(check.cancellable);
        checks.remove_if([&check](const Check& each) { return &each == &check; });
    }

    void stop() {
        stopping = true;
        for (auto check = checks.begin(); check != checks.end();) {
            auto next = std::next(check);
            abandon(*check);
            check = next;
        }
        if (connecting != nullptr) {
            g_cancellable_cancel(connecting);
        }
        stopIfIdle();
    }

    // Once stopping, the loop runs until the library has handed back every check and connection.
    void stopIfIdle() {
        if (stopping && checks.empty() && connecting == nullptr) {
            g_main_loop_quit(mainLoop);
        }
    }

    Log log;
    const std::chrono::milliseconds timeout;
    GMainContext* context = g_main_context_new();
    GMainLoop* mainLoop = g_main_loop_new(context, FALSE);

    std::mutex mutex;
    std::deque<Submitted> submitted;
    std::size_t inFlight = 0;
    bool stopRequested = false;
    const int wakeUp = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    GSource* wakeUpSource = g_unix_fd_source_new(wakeUp, G_IO_IN);

    std::list<Check> checks;
    GDBusConnection* bus = nullptr;
    ::PolkitAuthority* authority = nullptr;
    GCancellable* connecting = nullptr;  // while the bus or the authority is being obtained
    std::set<std::string> loggedFailures;
    bool refusingBurst = false;  // a check past the bound was logged since the last answer
    bool stopping = false;

    std::thread thread;
};

PolkitAuthority::PolkitAuthority(std::shared_ptr<LogSink> logSink,
                                 std::chrono::milliseconds timeout)
    : loop_(std::make_unique<Loop>(std::move(logSink), timeout)) {
    loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
}

PolkitAuthority::~PolkitAuthority() {
    {
        const std::lock_guard lock(loop_->mutex);
        loop_->stopRequested = true;
    }
    loop_->wake();
    loop_->thread.join();
}

void PolkitAuthority::checkAuthorization(const AuthorizationSubject& subject,
                                         const std::string& action,
                                         std::function<void(AuthorizationAnswer)> done) {
    loop_->submit({subject, action, std::move(done)});
}

}  // namespace quorin::daemon
