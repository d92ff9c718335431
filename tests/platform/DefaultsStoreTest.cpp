#include "platform/DefaultsStore.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

QString scratchFile(const char* name) {
    return QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME")) + "/defaults/" + name;
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 0777;
}

}  // namespace

TEST(DefaultsStoreTest, SharedStoreLivesInThePrivateConfigHomeNeverTheUsers) {
    auto& store = platform::DefaultsStore::standard();
    const QString home = QString::fromLocal8Bit(std::getenv("XDG_CONFIG_HOME"));
    EXPECT_TRUE(store.filePath().startsWith(home)) << store.filePath().toStdString();
    EXPECT_TRUE(store.filePath().endsWith("Korvane/Korvane.ini")) << store.filePath().toStdString();
}

TEST(DefaultsStoreTest, ValuesPersistAcrossInstancesAndTheFileStaysOwnerOnly) {
    const QString path = scratchFile("persist.ini");
    {
        platform::DefaultsStore store(path);
        EXPECT_EQ(modeOf(path), 0600u);
        EXPECT_FALSE(store.string("cookie").has_value());
        store.setString("cookie", "sessionid=abc; Path=/");
        store.setString("userID", "");
        store.setValue("isUserLogedinKey", true);
        store.setString("gone", "x");
        store.remove("gone");
        EXPECT_EQ(modeOf(path), 0600u) << "rewriting the file must not widen its permissions";
    }
    platform::DefaultsStore reopened(path);
    EXPECT_EQ(reopened.string("cookie"), "sessionid=abc; Path=/");
    EXPECT_EQ(reopened.string("userID"), "") << "an empty value is stored, not absent";
    EXPECT_TRUE(reopened.value("isUserLogedinKey").toBool());
    EXPECT_FALSE(reopened.contains("gone"));
}

TEST(DefaultsStoreTest, ConcurrentWritersAndReadersLoseNothing) {
    platform::DefaultsStore store(scratchFile("threads.ini"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                store.setString(QString("k%1_%2").arg(t).arg(i), std::to_string(i));
                (void)store.string("k0_0");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(store.string(QString("k%1_49").arg(t)), "49");
    }
}

TEST(DefaultsStoreTest, TheSettingsFolderIsTheOwnersAloneWhateverTheUmask) {
    const QString home = QString::fromLocal8Bit(std::getenv("KORVANE_TEST_HOME"));
    const QString config = home + "/umask0/config";
    const mode_t previous = ::umask(0);
    {
        platform::DefaultsStore store(config + "/Korvane/Korvane.ini");
        store.setString("cookie", "sessionid=abc");
    }
    ::umask(previous);
    EXPECT_EQ(modeOf(config + "/Korvane"), 0700u) << "no one else can replace the cookie's file";
    EXPECT_EQ(modeOf(config), 0700u);
    EXPECT_EQ(modeOf(config + "/Korvane/Korvane.ini"), 0600u);
}
