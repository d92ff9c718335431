#pragma once

#include "Executor.h"

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <utility>

namespace platform {

// Cancels a subscription when cancelled or destroyed; the result is then never delivered.
class Cancellable {
  public:
    Cancellable() = default;
    explicit Cancellable(std::shared_ptr<std::atomic<bool>> flag) : m_flag(std::move(flag)) {}
    Cancellable(Cancellable&&) noexcept = default;
    Cancellable& operator=(Cancellable&& other) noexcept {
        if (this != &other) {
            cancel();
            m_flag = std::move(other.m_flag);
        }
        return *this;
    }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    ~Cancellable() { cancel(); }

    void cancel() {
        if (m_flag) {
            m_flag->store(true);
        }
    }
    // Lets the subscription run to its end without anyone holding the token.
    void detach() { m_flag.reset(); }

  private:
    std::shared_ptr<std::atomic<bool>> m_flag;
};

// A lazy single-result publisher: nothing runs until subscribe(), every subscription runs the
// work again, and each delivers exactly one value or one error (the first the work reports).
template <class T, class E>
class Single {
  public:
    using Result = std::expected<T, E>;
    using Emit = std::function<void(Result)>;
    using Work = std::function<void(Emit)>;

    explicit Single(Work work) : m_work(std::make_shared<Work>(std::move(work))) {}

    static Single just(T value) {
        return Single([value = std::move(value)](Emit deliver) { deliver(Result(value)); });
    }
    static Single fail(E error) {
        return Single(
            [error = std::move(error)](Emit deliver) { deliver(Result(std::unexpect, error)); });
    }

    // Deliveries hop to the executor (which must outlive the subscription).
    Single receiveOn(Executor& executor) const {
        auto work = m_work;
        return Single([work, &executor](Emit deliver) {
            (*work)([&executor, deliver](Result result) {
                executor.post([deliver, result = std::move(result)]() mutable {
                    deliver(std::move(result));
                });
            });
        });
    }

    template <class F>
    auto map(F transform) const {
        using U = std::invoke_result_t<F, T>;
        auto work = m_work;
        return Single<U, E>([work, transform](typename Single<U, E>::Emit deliver) {
            (*work)([deliver, transform](Result result) {
                if (result) {
                    deliver(transform(std::move(*result)));
                } else {
                    deliver(std::unexpected(std::move(result.error())));
                }
            });
        });
    }

    template <class F>
    auto mapError(F transform) const {
        using E2 = std::invoke_result_t<F, E>;
        auto work = m_work;
        return Single<T, E2>([work, transform](typename Single<T, E2>::Emit deliver) {
            (*work)([deliver, transform](Result result) {
                if (result) {
                    deliver(std::move(*result));
                } else {
                    deliver(std::unexpected(transform(std::move(result.error()))));
                }
            });
        });
    }

    // transform: T -> Single<U, E>; the inner publisher runs when the outer one delivers.
    template <class F>
    auto flatMap(F transform) const {
        using Inner = std::invoke_result_t<F, T>;
        using InnerEmit = typename Inner::Emit;
        auto work = m_work;
        return Inner([work, transform](InnerEmit deliver) {
            (*work)([deliver, transform](Result result) {
                if (!result) {
                    deliver(std::unexpected(std::move(result.error())));
                    return;
                }
                transform(std::move(*result)).start(deliver);
            });
        });
    }

    // Runs the work; onResult is called at most once, and never after the token is cancelled.
    [[nodiscard]] Cancellable subscribe(std::function<void(Result)> onResult) const {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        auto delivered = std::make_shared<std::atomic<bool>>(false);
        (*m_work)([cancelled, delivered, onResult = std::move(onResult)](Result result) {
            if (cancelled->load() || delivered->exchange(true)) {
                return;
            }
            onResult(std::move(result));
        });
        return Cancellable(cancelled);
    }

    // Runs the work and forwards its result without a token (for composing publishers).
    void start(Emit deliver) const { (*m_work)(std::move(deliver)); }

  private:
    std::shared_ptr<Work> m_work;
};

}  // namespace platform
