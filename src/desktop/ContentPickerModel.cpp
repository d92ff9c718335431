#include "ContentPickerModel.h"

#include "platform/MainQueue.h"

#include <algorithm>

namespace desktop {

using platform::ContentFilter;
using platform::ShareableDisplay;
using platform::ShareableWindow;

namespace {

PickerEntry displayEntry(const ShareableDisplay& display) {
    const auto size = QStringLiteral("%1 \u00D7 %2")
                          .arg(static_cast<long>(display.frame.width))
                          .arg(static_cast<long>(display.frame.height));
    return {display, QString::fromStdString(display.name), size, {}};
}

PickerEntry windowEntry(const ShareableWindow& window) {
    QString title = window.title ? QString::fromStdString(*window.title).trimmed() : QString();
    if (title.isEmpty()) {
        title = QStringLiteral("Untitled window");
    }
    return {window, title, QString::fromStdString(window.applicationID.value_or("")), {}};
}

}  // namespace

ContentPickerModel::ContentPickerModel(QObject* parent) : QAbstractListModel(parent) {}

void ContentPickerModel::addObserver(std::weak_ptr<Observer> observer) {
    const auto added = observer.lock();
    if (!added) {
        return;
    }
    std::erase_if(m_observers, [](const auto& o) { return o.expired(); });
    const bool known = std::ranges::any_of(
        m_observers, [&](const auto& o) { return o.lock().get() == added.get(); });
    if (!known) {
        m_observers.push_back(std::move(observer));
    }
}

void ContentPickerModel::begin(platform::ContentSharingPicker::Mode mode,
                               std::shared_ptr<const platform::WindowServer> windowServer) {
    const bool wasEmpty = isEmpty();
    beginResetModel();
    m_windowServer = std::move(windowServer);
    m_entries.clear();
    if (mode == platform::ContentSharingPicker::Mode::singleDisplay) {
        for (const auto& display : m_windowServer->displays()) {
            m_entries.push_back(displayEntry(display));
        }
    } else {
        for (const auto& window : m_windowServer->windows()) {
            m_entries.push_back(windowEntry(window));
        }
    }
    endResetModel();
    m_awaitingAnswer = true;
    if (m_selectedIndex != -1) {
        m_selectedIndex = -1;
        emit selectedIndexChanged();
    }
    if (wasEmpty != isEmpty()) {
        emit isEmptyChanged();
    }
}

void ContentPickerModel::dismiss() {
    if (m_awaitingAnswer) {
        finish();
    }
}

void ContentPickerModel::failStart(const platform::CaptureError& error) {
    notify([error](Observer& o) { o.contentSharingPickerStartDidFail(error); });
}

void ContentPickerModel::setThumbnail(int row, const QString& source) {
    if (row < 0 || row >= rowCount()) {
        return;
    }
    m_entries[static_cast<std::size_t>(row)].thumbnail = source;
    const QModelIndex changed = index(row);
    emit dataChanged(changed, changed, {ThumbnailRole});
}

QString ContentPickerModel::title() const {
    return QStringLiteral("Choose what to record");
}

QString ContentPickerModel::emptyText() const {
    return QStringLiteral("Nothing to share");
}

void ContentPickerModel::select(int row) {
    if (!m_awaitingAnswer || row < 0 || row >= rowCount() || row == m_selectedIndex) {
        return;
    }
    m_selectedIndex = row;
    emit selectedIndexChanged();
}

void ContentPickerModel::share() {
    if (!m_awaitingAnswer || m_selectedIndex < 0) {
        return;
    }
    const ContentFilter filter = filterFor(m_entries[static_cast<std::size_t>(m_selectedIndex)]);
    finish();
    notify([filter](Observer& o) { o.contentSharingPickerDidUpdate(filter); });
}

void ContentPickerModel::cancel() {
    if (!m_awaitingAnswer) {
        return;  // closing the window after an answer is not a second answer
    }
    finish();
    notify([](Observer& o) { o.contentSharingPickerDidCancel(); });
}

int ContentPickerModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

QVariant ContentPickerModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const PickerEntry& entry = m_entries[static_cast<std::size_t>(index.row())];
    switch (role) {
        case NameRole:
            return entry.name;
        case DetailRole:
            return entry.detail;
        case ThumbnailRole:
            return entry.thumbnail;
        default:
            return {};
    }
}

QHash<int, QByteArray> ContentPickerModel::roleNames() const {
    return {{NameRole, "name"}, {DetailRole, "detail"}, {ThumbnailRole, "thumbnail"}};
}

void ContentPickerModel::finish() {
    m_awaitingAnswer = false;
    emit finished();
}

void ContentPickerModel::notify(std::function<void(Observer&)> call) {
    platform::MainQueue::post([observers = m_observers, call = std::move(call)] {
        for (const auto& weak : observers) {
            if (const auto observer = weak.lock()) {
                call(*observer);
            }
        }
    });
}

ContentFilter ContentPickerModel::filterFor(const PickerEntry& entry) const {
    // The content may have moved while the picker was open: answer with where it is now.
    ContentFilter filter;
    if (const auto* display = std::get_if<ShareableDisplay>(&entry.content)) {
        ShareableDisplay chosen = *display;
        chosen.frame = m_windowServer->displayBounds(chosen.displayID).value_or(chosen.frame);
        filter.includedDisplays = {chosen};
        filter.contentRect = chosen.frame;
    } else {
        ShareableWindow chosen = std::get<ShareableWindow>(entry.content);
        chosen.frame = m_windowServer->windowBounds(chosen.windowID).value_or(chosen.frame);
        filter.includedWindows = {chosen};
        filter.contentRect = chosen.frame;
    }
    return filter;
}

}  // namespace desktop
