// The real application on the virtual desktop, driven as a trader drives it (xdotool), and asked
// to quit by the system in the middle of a recording: what was recorded must survive as a
// playable file under "currentVideoPath", and nothing is uploaded.
#include "DevServer.h"

#include "Eventually.h"
#include "MediaFile.h"

#include <QSettings>
#include <QString>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kStepLimit = 60s;

std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            text += buffer;
        }
        ::pclose(pipe);
    }
    return text;
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// Each step is an event awaited; the bound only keeps a broken run from hanging. Every poll
// starts a process, so not too often.
template <class F>
bool waitUntil(F predicate, std::chrono::milliseconds limit = kStepLimit) {
    return eventually(predicate, limit, 100ms);
}

// Another program's windows (a Korvane left over by someone else) do not count.
std::string search(pid_t pid, const std::string& pattern) {
    return "xdotool search --all --onlyvisible --pid " + std::to_string(pid) + " --name '" +
           pattern + "'";
}

// A window's place on the screen and its size. (xwininfo's absolute corner is the window's own,
// inside any frame the window manager put around it.)
struct Frame {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Frame&) const = default;
};

// The visible windows of that process. They are told apart by their sizes, which the QML fixes:
// the main window's pages carry no name X's own search matches.
std::vector<Frame> framesOf(pid_t pid) {
    const std::string lines =
        output("for w in $(xdotool search --onlyvisible --pid " + std::to_string(pid) +
               " 2>/dev/null); do xwininfo -id $w 2>/dev/null | awk '/Absolute upper-left X/ "
               "{x=$4} /Absolute upper-left Y/ {y=$4} /^ *Width:/ {w=$2} /^ *Height:/ {h=$2} "
               "END {print x, y, w, h}'; done");
    std::vector<Frame> frames;
    Frame frame;
    for (const char* at = lines.c_str();
         std::sscanf(at, "%d %d %d %d", &frame.x, &frame.y, &frame.width, &frame.height) == 4;) {
        frames.push_back(frame);
        at = std::strchr(at, '\n');
        if (!at) {
            break;
        }
        ++at;
    }
    return frames;
}

double seconds(std::int64_t value, AVRational base) {
    return static_cast<double>(value) * av_q2d(base);
}

class SystemQuitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !std::getenv("PULSE_SERVER") ||
            !run("command -v xdotool >/dev/null")) {
            GTEST_SKIP() << "needs the virtual desktop of scripts/virtual-desktop.sh and xdotool";
        }
        // Fresh for each test: a sign-in stored by another must not skip the sign-in window.
        home = fs::path(std::getenv("KORVANE_TEST_HOME")) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        server = std::make_unique<devserver::DevServer>(
            devserver::Config{"127.0.0.1", 0, "trader", "korvane", home / "stand-in"});
        server->setRequestObserver([this](const devserver::ObservedRequest& request) {
            if (request.path.find("/video/upload") != std::string::npos) {
                ++uploads;
            }
        });
        ASSERT_TRUE(server->start());
    }
    void TearDown() override {
        if (korvane > 0) {
            ::kill(korvane, SIGKILL);
            ::waitpid(korvane, nullptr, 0);
        }
        if (!desktop.empty()) {
            run("KORVANE_VD_DIR='" + desktop.string() +
                "' " KORVANE_SOURCE_DIR "/scripts/virtual-desktop.sh stop >/dev/null 2>&1");
        }
    }

    // A virtual desktop of this test's own, whose X server it may take down; from now on
    // Korvane and xdotool use it. Answers the X server's process id.
    pid_t useOwnDesktop() {
        desktop = home / "desktop";
        if (!run("KORVANE_VD_DIR='" + desktop.string() +
                 "' " KORVANE_SOURCE_DIR "/scripts/virtual-desktop.sh start >/dev/null 2>&1")) {
            return -1;
        }
        std::ifstream env(desktop / "env");
        for (std::string line; std::getline(env, line);) {
            // export NAME=value
            const auto equals = line.find('=');
            if (line.rfind("export ", 0) == 0 && equals != std::string::npos) {
                ::setenv(line.substr(7, equals - 7).c_str(), line.substr(equals + 1).c_str(), 1);
            }
        }
        std::ifstream pids(desktop / "pids");
        std::string name;
        pid_t pid = -1;
        while (pids >> name >> pid && name != "xvfb") {
        }
        return name == "xvfb" ? pid : -1;
    }

    // Korvane with a home of its own, pointed at this test's stand-in services. Everything is
    // made before the fork: the child of a threaded process may only exec. The quit signals
    // start at their default action, whatever this test inherited (a background job ignores
    // SIGINT), but the `ignored` ones, as nohup leaves them.
    void launch(std::initializer_list<int> ignored = {}) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        // Under AddressSanitizer, what a whole GUI process leaves at its exit (Qt's caches,
        // buffers of plugins already unloaded, so unnamed) cannot be told apart from a leak; the
        // tests in process check our own code for leaks.
        const std::map<std::string, std::string> set{
            {"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()},
            {"XDG_DATA_HOME", (home / ".local/share").string()},
            {"KORVANE_WEB_URL", server->baseUrl()},
            {"KORVANE_RECORDING_API_URL", server->baseUrl()},
            {"ASAN_OPTIONS", std::string("detect_leaks=0") + (asan ? ":" + std::string(asan) : "")},
        };
        std::vector<std::string> entries;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (!set.contains(text.substr(0, text.find('=')))) {
                entries.push_back(text);
            }
        }
        for (const auto& [name, value] : set) {
            entries.push_back(name + "=" + value);
        }
        std::vector<char*> envp;
        for (auto& entry : entries) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        const std::string log = (home / "korvane.log").string();
        fs::create_directories(home);
        const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(output, 0);
        char* const argv[] = {const_cast<char*>(KORVANE_BINARY), nullptr};
        korvane = ::fork();
        if (korvane == 0) {
            for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
                ::signal(signal,
                         std::ranges::find(ignored, signal) != ignored.end() ? SIG_IGN : SIG_DFL);
            }
            ::dup2(output, STDOUT_FILENO);
            ::dup2(output, STDERR_FILENO);
            ::execve(KORVANE_BINARY, argv, envp.data());
            ::_exit(127);
        }
        ::close(output);
        ASSERT_GT(korvane, 0);
    }

    std::optional<std::string> stored(const char* key) const {
        const QSettings settings(
            QString::fromStdString((home / ".config" / "Korvane" / "Korvane.ini").string()),
            QSettings::IniFormat);
        const QString value = settings.value(key).toString();
        if (value.isEmpty()) {
            return std::nullopt;
        }
        return value.toStdString();
    }

    bool windowNamed(const std::string& pattern) const {
        return run(search(korvane, pattern) + " >/dev/null 2>&1");
    }

    // The one visible window of Korvane's of that size once it is in place: where
    // `placed` wants it, if given, and not moved over three looks in a row (the windows slide
    // in, and some are moved again once shown).
    std::optional<Frame> settled(int width, int height,
                                 const std::function<bool(const Frame&)>& placed = {}) {
        std::vector<Frame> looks;
        const bool found = waitUntil([&] {
            const auto frames = framesOf(korvane);
            const auto match = std::ranges::find_if(
                frames, [&](const Frame& f) { return f.width == width && f.height == height; });
            if (match == frames.end() || (placed && !placed(*match))) {
                looks.clear();
                return false;
            }
            if (!looks.empty() && looks.back() != *match) {
                looks.clear();
            }
            looks.push_back(*match);
            return looks.size() >= 3;
        });
        return found ? std::optional(looks.back()) : std::nullopt;
    }

    // What Korvane shows, for a failure's message.
    std::string shown() const {
        std::string text = "Korvane's windows:";
        for (const Frame& f : framesOf(korvane)) {
            text += " " + std::to_string(f.width) + "x" + std::to_string(f.height) + "+" +
                    std::to_string(f.x) + "+" + std::to_string(f.y);
        }
        return text;
    }

    bool closed(int width, int height) {
        return waitUntil([&] {
            return std::ranges::none_of(framesOf(korvane), [&](const Frame& f) {
                return f.width == width && f.height == height;
            });
        });
    }

    // Clicks at (dx, dy) inside the window; a negative offset counts from its right or bottom
    // edge.
    static void clickIn(const Frame& frame, int dx, int dy) {
        const int x = frame.x + (dx < 0 ? frame.width + dx : dx);
        const int y = frame.y + (dy < 0 ? frame.height + dy : dy);
        run("xdotool mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click 1");
    }

    // The main window's pages sit in the screen's bottom-right corner, 10 in from its edges.
    static bool inTheCorner(const Frame& frame) {
        int width = 0;
        int height = 0;
        std::sscanf(output("xdotool getdisplaygeometry").c_str(), "%d %d", &width, &height);
        return frame.x + frame.width == width - 10 && frame.y + frame.height == height - 10;
    }

    // Every window is found by its size and clicked where its QML puts the control:
    // the sign-in window, the start card, the preparation page, the pickers beside it and the
    // content picker.
    void signInAndStartRecording() {
        const auto signIn = settled(400, 700);
        ASSERT_TRUE(signIn) << "the sign-in window"
                            << "; " << shown();
        run(search(korvane, "^Korvane$") + " windowactivate --sync");
        std::this_thread::sleep_for(500ms);
        run("xdotool type --delay 20 trader; xdotool key Return");
        run("xdotool type --delay 20 korvane; xdotool key Return");
        ASSERT_TRUE(closed(400, 700));
        ASSERT_TRUE(stored("cookie"));
        const auto startCard = settled(234, 77, inTheCorner);
        ASSERT_TRUE(startCard) << "the start card"
                               << "; " << shown();
        clickIn(*startCard, 117, 38);
        const auto page = settled(405, 390, inTheCorner);
        ASSERT_TRUE(page) << "the preparation page"
                          << "; " << shown();
        clickIn(*page, 203, 113);  // the source card
        const auto sourcePicker = settled(378, 280);
        ASSERT_TRUE(sourcePicker) << "the source picker"
                                  << "; " << shown();
        clickIn(*sourcePicker, 189, 132);  // "Full screen"
        const auto contentPicker = settled(600, 620);
        ASSERT_TRUE(contentPicker) << "the content picker"
                                   << "; " << shown();
        clickIn(*contentPicker, 160, 150);  // the display
        clickIn(*contentPicker, -72, -38);  // Share
        ASSERT_TRUE(waitUntil([&] { return !windowNamed("^Choose what to record"); }));
        ASSERT_TRUE(closed(378, 280)) << "the source picker goes with it";
        clickIn(*page, 135, 182);  // the microphone card
        // The preparation page moves the picker beside it, bottom edges level.
        const auto microphones = settled(
            378, 330, [&](const Frame& f) { return f.y + f.height == page->y + page->height; });
        ASSERT_TRUE(microphones) << "the microphone picker"
                                 << "; " << shown();
        clickIn(*microphones, 185, 186);  // the sine headset, the second one
        ASSERT_TRUE(closed(378, 330)) << "the microphone picker closes on a choice";
        clickIn(*page, 203, 250);  // Start
        ASSERT_TRUE(waitUntil([&] { return windowNamed("^RecordingBarWindow$"); }))
            << "the countdown, then the recording bar";
    }

    // Starts recording, records for a while and ends the run with `end`; answers how long it
    // recorded and the file's location.
    std::pair<double, std::string> recordThenEnd(const std::function<void()>& end) {
        launch();
        signInAndStartRecording();
        if (HasFatalFailure()) {
            return {};
        }
        // The key is stored as the capture starts: the recorded time runs from there.
        std::optional<std::string> path;
        EXPECT_TRUE(waitUntil([&] { return (path = stored("currentVideoPath")).has_value(); }));
        const auto began = Clock::now();
        std::this_thread::sleep_for(4s);
        end();
        return {std::chrono::duration<double>(Clock::now() - began).count(), path.value_or("")};
    }

    // Waits for Korvane's end within `limit`; answers its wait status.
    std::optional<int> ended(std::chrono::milliseconds limit) {
        int status = 0;
        if (!waitUntil([&] { return ::waitpid(korvane, &status, WNOHANG) == korvane; }, limit)) {
            return std::nullopt;
        }
        korvane = -1;
        return status;
    }

    // Both tracks, each as long as the time recorded give or take a second.
    static void expectPlayable(const std::string& path, double recorded) {
        ASSERT_TRUE(fs::exists(path));
        MediaFile file(path);
        ASSERT_TRUE(file.isOpen()) << "the file has its index";
        const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
        const AVStream* audio = file.stream(AVMEDIA_TYPE_AUDIO);
        ASSERT_TRUE(video);
        ASSERT_TRUE(audio);
        EXPECT_NEAR(seconds(video->duration, video->time_base), recorded, 1.0);
        EXPECT_NEAR(seconds(audio->duration, audio->time_base), recorded, 1.0);
        std::int64_t frames = 0;
        file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame&, double) { ++frames; });
        EXPECT_GT(frames, 0);
    }

    fs::path home;
    fs::path desktop;
    std::unique_ptr<devserver::DevServer> server;
    std::atomic<int> uploads{0};
    pid_t korvane = -1;
};

}  // namespace

TEST_F(SystemQuitTest, SigtermMidRecordingKeepsAPlayableFileUnderItsKey) {
    const auto [recorded, path] = recordThenEnd([&] { ASSERT_EQ(::kill(korvane, SIGTERM), 0); });
    ASSERT_FALSE(HasFatalFailure());
    const auto status = ended(5s);
    ASSERT_TRUE(status) << "Korvane quits within five seconds";
    EXPECT_TRUE(WIFEXITED(*status)) << "it quits, it is not killed";
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(stored("currentVideoPath"), path) << "the key stays, for a later upload";
    expectPlayable(path, recorded);
    EXPECT_EQ(uploads.load(), 0) << "a quit is no Stop: nothing is uploaded";
}

TEST_F(SystemQuitTest, EachQuitSignalWithoutARecordingQuitsAtOnce) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        launch();
        ASSERT_TRUE(waitUntil([&] { return windowNamed("^Korvane$"); })) << "the sign-in window";
        ASSERT_EQ(::kill(korvane, signal), 0);
        const auto status = ended(5s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status)) << "it quits, it is not killed";
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }
}

TEST_F(SystemQuitTest, UnderNohupAClosedTerminalLeavesItRunning) {
    launch({SIGHUP});
    ASSERT_TRUE(waitUntil([&] { return windowNamed("^Korvane$"); })) << "the sign-in window";
    ASSERT_EQ(::kill(korvane, SIGHUP), 0);
    ASSERT_EQ(::kill(korvane, SIGTERM), 0);
    const auto status = ended(5s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    std::ifstream log(home / "korvane.log");
    const std::string text{std::istreambuf_iterator<char>(log), {}};
    EXPECT_NE(text.find("Quit asked by the system: Terminated"), std::string::npos) << text;
    EXPECT_EQ(text.find("Hangup"), std::string::npos) << "the hangup was heard:\n" << text;
}

TEST_F(SystemQuitTest, AnXServerThatDiesMidRecordingLeavesAPlayableFile) {
    const pid_t xserver = useOwnDesktop();
    ASSERT_GT(xserver, 0) << "a virtual desktop of its own";
    const auto [recorded, path] = recordThenEnd([&] { ASSERT_EQ(::kill(xserver, SIGKILL), 0); });
    ASSERT_FALSE(HasFatalFailure());
    // Qt ends the process itself when its display connection breaks.
    ASSERT_TRUE(ended(10s)) << "Korvane ends";
    EXPECT_EQ(stored("currentVideoPath"), path);
    expectPlayable(path, recorded);
    EXPECT_EQ(uploads.load(), 0);
}
