#include "LaunchViewModel.h"

#include "Requests.h"

#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"

#include <QPointer>

namespace app {

LaunchViewModel::LaunchViewModel(std::shared_ptr<api::SignInProtocol> signInRepo,
                                 platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent), m_signInRepo(std::move(signInRepo)), m_defaults(defaults) {}

void LaunchViewModel::setValidUser(bool value) {
    if (!platform::assignIfChanged(m_validUser, value)) {
        return;
    }
    emit validUserChanged();
}

void LaunchViewModel::validateUser(std::function<void(bool)> completion) {
    QPointer<LaunchViewModel> self(this);
    auto resumed = std::make_shared<bool>(false);  // main thread only
    platform::DefaultsStore* defaults = &m_defaults;
    m_cancellableSet.push_back(
        m_signInRepo->networking()
            ->request(api::ValidateUserRequest(m_defaults))
            .receiveOn(platform::MainQueue::executor())
            .subscribe([self, resumed, defaults, completion](
                           std::expected<api::ValidateUserResponse, api::NetworkError> result) {
                if (self) {
                    if (result) {
                        self->m_responseStatus = QStringLiteral("success");
                        emit self->responseStatusChanged();
                        self->setValidUser(true);
                    }
                    if (self->m_isLoging) {
                        self->m_isLoging = false;
                        emit self->isLogingChanged();
                    }
                    if (!result) {
                        self->m_uploadError = result.error();
                        self->setValidUser(false);
                    }
                }
                if (!result) {
                    // A session the server no longer knows is forgotten.
                    defaults->remove("cookie");
                    defaults->remove("userID");
                }
                if (!*resumed) {
                    *resumed = true;
                    completion(result.has_value());
                }
            }));
}

LaunchFlow::LaunchFlow(LaunchViewModel& viewModel,
                       std::shared_ptr<platform::Reachability> reachability,
                       desktop::Router& router, platform::DefaultsStore& defaults, QObject* parent)
    : QObject(parent),
      m_viewModel(viewModel),
      m_reachability(std::move(reachability)),
      m_router(router),
      m_defaults(defaults) {}

void LaunchFlow::onAppear() {
    if (!m_reachability || !m_reachability->isReachable()) {
        // No network: sign-in at once, the stored session kept for later.
        m_router.dismissWindow(QStringLiteral("LaunchViewGroup"));
        m_router.openWindow(QStringLiteral("LoginWindowGroup"));
        return;
    }
    m_taskStart = std::chrono::steady_clock::now();
    const bool stored = !m_defaults.string("cookie").value_or("").empty() &&
                        !m_defaults.string("userID").value_or("").empty();
    if (!stored) {
        decide(false);
        return;
    }
    QPointer<LaunchFlow> self(this);
    m_viewModel.validateUser([self](bool valid) {
        if (self) {
            self->decide(valid);
        }
    });
}

void LaunchFlow::decide(bool valid) {
    const auto elapsed = std::chrono::steady_clock::now() - m_taskStart;
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(minimumSplashDuration - elapsed);
    QPointer<LaunchFlow> self(this);
    auto go = [self, valid] {
        if (!self) {
            return;
        }
        if (valid) {
            self->m_router.setPage(desktop::PagesEnum::startSession);
            self->m_router.dismissWindow(QStringLiteral("LaunchViewGroup"));
            self->m_router.openWindow(QStringLiteral("KVWindowGroup"));
        } else {
            self->m_router.dismissWindow(QStringLiteral("LaunchViewGroup"));
            self->m_router.openWindow(QStringLiteral("LoginWindowGroup"));
        }
    };
    if (remaining.count() > 0) {
        platform::MainQueue::postAfter(remaining, go);
    } else {
        go();
    }
}

}  // namespace app
