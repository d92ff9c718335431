#pragma once

#include <QHash>
#include <QImage>
#include <QQuickImageProvider>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>

namespace desktop {

// Thumbnails of the picker's current listing. Filled from the grabbing thread, read by QML's
// image loader; a new listing (generation) drops the previous one's pictures.
class ThumbnailStore {
  public:
    void startGeneration(std::uint64_t generation);
    std::uint64_t generation() const;
    // False (and nothing kept) when the generation is no longer current.
    bool insert(std::uint64_t generation, const QString& id, const QImage& image);
    QImage find(const QString& id) const;

  private:
    mutable std::mutex m_mutex;
    std::uint64_t m_generation = 0;
    QHash<QString, QImage> m_images;
};

class ThumbnailProvider final : public QQuickImageProvider {
  public:
    static constexpr const char* name = "korvane-thumbnails";
    explicit ThumbnailProvider(std::shared_ptr<const ThumbnailStore> store);
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

  private:
    std::shared_ptr<const ThumbnailStore> m_store;
};

}  // namespace desktop
