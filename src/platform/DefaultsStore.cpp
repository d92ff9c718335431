#include "DefaultsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Creates the missing folders of `folder` owner-only, whatever the umask: whoever can write to
// the folder can replace the file that holds the session cookie.
void makeOwnerOnlyFolders(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> missing;
    std::error_code ignored;
    for (auto at = folder; !at.empty() && !std::filesystem::exists(at, ignored);
         at = at.parent_path()) {
        missing.push_back(at);
    }
    for (auto made = missing.rbegin(); made != missing.rend(); ++made) {
        if (::mkdir(made->c_str(), S_IRWXU) == 0) {
            ::chmod(made->c_str(),
                    S_IRWXU);  // mkdir's mode is narrowed by the umask, never widened
        }
    }
}

// Creates the folder and an empty file with owner-only access before QSettings writes to it,
// so the cookie never sits in a world-readable file, not even for a moment.
void prepareOwnerOnlyFile(const QString& path) {
    const QFileInfo info(path);
    makeOwnerOnlyFolders(QFile::encodeName(info.absolutePath()).toStdString());
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        ::close(fd);
    }
    ::chmod(native.constData(), S_IRUSR | S_IWUSR);
}

QString standardFilePath() {
    // Ask QSettings where the user-scope INI lives, without creating anything.
    const QSettings probe(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Korvane"),
                          QStringLiteral("Korvane"));
    return probe.fileName();
}

}  // namespace

DefaultsStore& DefaultsStore::standard() {
    static DefaultsStore store([] {
        const QString path = standardFilePath();
        prepareOwnerOnlyFile(path);
        // The settings folder is ours alone, also when an older version left it open.
        ::chmod(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), S_IRWXU);
        return path;
    }());
    return store;
}

DefaultsStore::DefaultsStore(const QString& filePath) {
    prepareOwnerOnlyFile(filePath);
    m_settings = std::make_unique<QSettings>(filePath, QSettings::IniFormat);
}

DefaultsStore::~DefaultsStore() = default;

QVariant DefaultsStore::value(const QString& key) const {
    std::lock_guard lock(m_mutex);
    return m_settings->value(key);
}

void DefaultsStore::setValue(const QString& key, const QVariant& value) {
    std::lock_guard lock(m_mutex);
    m_settings->setValue(key, value);
    persist();
}

void DefaultsStore::remove(const QString& key) {
    std::lock_guard lock(m_mutex);
    m_settings->remove(key);
    persist();
}

bool DefaultsStore::contains(const QString& key) const {
    std::lock_guard lock(m_mutex);
    return m_settings->contains(key);
}

std::optional<std::string> DefaultsStore::string(const QString& key) const {
    std::lock_guard lock(m_mutex);
    if (!m_settings->contains(key)) {
        return std::nullopt;
    }
    return m_settings->value(key).toString().toStdString();
}

void DefaultsStore::setString(const QString& key, const std::string& value) {
    setValue(key, QString::fromStdString(value));
}

QString DefaultsStore::filePath() const {
    std::lock_guard lock(m_mutex);
    return m_settings->fileName();
}

void DefaultsStore::persist() {
    // Written at once: a session value set just before a crash must not be lost.
    m_settings->sync();
    // The atomic save replaces the file; keep it owner-only whatever the umask.
    ::chmod(QFile::encodeName(m_settings->fileName()).constData(), S_IRUSR | S_IWUSR);
}

}  // namespace platform
