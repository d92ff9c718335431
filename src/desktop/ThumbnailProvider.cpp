#include "ThumbnailProvider.h"

namespace desktop {

void ThumbnailStore::startGeneration(std::uint64_t generation) {
    std::lock_guard lock(m_mutex);
    m_generation = generation;
    m_images.clear();
}

std::uint64_t ThumbnailStore::generation() const {
    std::lock_guard lock(m_mutex);
    return m_generation;
}

bool ThumbnailStore::insert(std::uint64_t generation, const QString& id, const QImage& image) {
    std::lock_guard lock(m_mutex);
    if (generation != m_generation) {
        return false;
    }
    m_images.insert(id, image);
    return true;
}

QImage ThumbnailStore::find(const QString& id) const {
    std::lock_guard lock(m_mutex);
    return m_images.value(id);
}

ThumbnailProvider::ThumbnailProvider(std::shared_ptr<const ThumbnailStore> store)
    : QQuickImageProvider(QQuickImageProvider::Image), m_store(std::move(store)) {}

QImage ThumbnailProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    QImage image = m_store->find(id);
    if (size) {
        *size = image.size();
    }
    if (!image.isNull() && requestedSize.isValid() && requestedSize != image.size()) {
        image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return image;
}

}  // namespace desktop
