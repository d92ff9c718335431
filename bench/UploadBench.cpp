// Chunked upload against the stand-in recording API on loopback, compared with the curl command
// line sending the same chunks to the same server in the same run. Prints the throughput ratio
// and the peak resident memory growth of our upload.
//
//   upload_bench [--size-mib 256] [--memory-size-mib 1024]
#include "HttpClient.h"
#include "VideoChunkUploadRepository.h"

#include "platform/DefaultsStore.h"
#include "platform/Log.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

[[noreturn]] void fail(const std::string& message) {
    bench::fail("upload_bench", message);
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(std::string(field).size()));
        }
    }
    return -1;
}

void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct Server {
    pid_t pid = -1;
    std::string url;
    ~Server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

void startServer(Server& server, const fs::path& dataDir, const fs::path& logPath) {
    server.pid = ::fork();
    if (server.pid == 0) {
        const std::string data = dataDir.string();
        std::freopen(logPath.c_str(), "w", stdout);
        ::execl(KORVANE_DEVSERVER_PATH, KORVANE_DEVSERVER_PATH, "--port", "0", "--data-dir",
                data.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    for (int i = 0; i < 100 && server.url.empty(); ++i) {
        std::ifstream log(logPath);
        std::string line;
        while (std::getline(log, line)) {
            const auto at = line.find("listening on http://");
            if (at != std::string::npos) {
                server.url = line.substr(at + 13);
                server.url = server.url.substr(0, server.url.find_first_of(" \t"));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (server.url.empty()) {
        fail("the stand-in services did not start");
    }
}

std::string run(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        fail("cannot run " + command);
    }
    std::string output;
    char buffer[4096];
    while (const auto n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    if (::pclose(pipe) != 0) {
        fail("command failed: " + command);
    }
    return output;
}

void writeRandomFile(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(kMiB / 8);
    for (std::size_t written = 0; written < size; written += kMiB) {
        for (auto& word : block) {
            word = random();
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(std::min(kMiB, size - written)));
    }
}

struct OurRun {
    double seconds = 0;
    double peakGrowthMiB = 0;
};

OurRun uploadWithKorvane(const std::string& url, const fs::path& file,
                         platform::DefaultsStore& defaults) {
    api::VideoChunkUploadRepository uploader(api::HttpClient::shared(), url, defaults);
    resetPeakRss();
    const long before = statusKiB("VmHWM:");
    const auto start = Clock::now();
    auto result = uploader.upload(file.string());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long after = statusKiB("VmHWM:");
    if (!result) {
        fail("our upload failed: " + result.error().localizedDescription);
    }
    return {seconds, static_cast<double>(after - before) / 1024.0};
}

double uploadWithCurl(const std::string& url, const fs::path& file, const std::string& cookie,
                      const fs::path& work) {
    // Slicing is preparation, not part of the timed upload.
    const std::size_t size = fs::file_size(file);
    const std::size_t count = (size + api::VideoChunkUploadRepository::chunkSize - 1) /
                              api::VideoChunkUploadRepository::chunkSize;
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(api::VideoChunkUploadRepository::chunkSize);
    std::vector<fs::path> slices;
    for (std::size_t i = 0; i < count; ++i) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        slices.push_back(work / ("slice" + std::to_string(i)));
        std::ofstream(slices.back(), std::ios::binary).write(buffer.data(), in.gcount());
    }
    const std::string name = file.filename().string();
    const std::string endpoint = url + "/api/v1/video/upload";
    auto chunkArgs = [&](std::size_t i, const std::string& videoId) {
        std::ostringstream args;
        args << " -s -o /dev/null -w '%{http_code}\\n' -H 'Expect:' -H 'Cookie: " << cookie << "'"
             << " -F 'video=@" << slices[i].string() << ";filename=" << name << ";type=video/mp4'"
             << " -F vantrel_env=prod -F chunk_number=" << i << " -F total_chunks=" << count
             << " -F 'filename=" << name << "'";
        if (!videoId.empty()) {
            args << " -F video_id=" << videoId;
        }
        return args.str() + " " + endpoint;
    };
    const auto start = Clock::now();
    // The first reply names the video; the rest go in one curl process, one after another.
    const std::string first =
        run("curl -s -H 'Expect:' -H 'Cookie: " + cookie + "' -F 'video=@" + slices[0].string() +
            ";filename=" + name +
            ";type=video/mp4' -F vantrel_env=prod -F chunk_number=0 -F total_chunks=" +
            std::to_string(count) + " -F 'filename=" + name + "' " + endpoint);
    const auto idAt = first.find("\"video_id\":\"");
    if (idAt == std::string::npos) {
        fail("curl's first chunk got no video id: " + first);
    }
    const std::string videoId = first.substr(idAt + 12, first.find('"', idAt + 12) - idAt - 12);
    std::string command = "curl";
    for (std::size_t i = 1; i < count; ++i) {
        command += (i > 1 ? " --next" : "") + chunkArgs(i, videoId);
    }
    const std::string codes = count > 1 ? run(command) : std::string();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (codes.find_first_not_of("200\n") != std::string::npos) {
        fail("curl upload refused: " + codes);
    }
    for (const auto& slice : slices) {
        fs::remove(slice);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t sizeMiB = 256;
    std::size_t memorySizeMiB = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--size-mib") {
            sizeMiB = std::stoul(argv[i + 1]);
        } else if (option == "--memory-size-mib") {
            memorySizeMiB = std::stoul(argv[i + 1]);
        } else {
            fail("unknown option " + option);
        }
    }
    QCoreApplication app(argc, argv);

    const fs::path work =
        fs::temp_directory_path() / ("korvane-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    Server server;
    startServer(server, work / "server", work / "server.log");

    // A private settings file: the benchmark never touches the user's session.
    platform::DefaultsStore defaults(QString::fromStdString((work / "defaults.ini").string()));
    const auto auth = api::HttpClient::shared()->sendAndWait(
        {"POST",
         server.url + "/api/sagevane/auth",
         {{"Content-Type", "application/json"}},
         std::string(R"({"username":"trader","password":"korvane"})"),
         {},
         std::chrono::seconds(10)});
    const auto reply = nlohmann::json::parse(auth.body.value_or("{}"), nullptr, false);
    if (!reply.is_object() || !reply.contains("cookie")) {
        fail("sign-in at the stand-in services failed");
    }
    const std::string cookie = reply["cookie"];
    defaults.setString("cookie", cookie);

    std::size_t logLines = 0;
    platform::setLogSink([&](std::string_view) { ++logLines; });

    const fs::path file = work / "Korvane_bench.mp4";
    writeRandomFile(file, sizeMiB * kMiB);
    const double curlSeconds = uploadWithCurl(server.url, file, cookie, work);
    const OurRun ours = uploadWithKorvane(server.url, file, defaults);
    const double oursAgain = uploadWithKorvane(server.url, file, defaults).seconds;
    const double curlAgain = uploadWithCurl(server.url, file, cookie, work);
    const double ourBest = std::min(ours.seconds, oursAgain);
    const double curlBest = std::min(curlSeconds, curlAgain);
    fs::remove(file);

    const double mib = static_cast<double>(sizeMiB);
    std::printf(
        "chunked upload of %zu MiB (%zu chunks) to the stand-in recording API on loopback\n",
        sizeMiB, api::VideoChunkUploadRepository::sliceCount(sizeMiB * kMiB));
    std::printf(
        "  Korvane: %.3f s (%.1f MiB/s)   curl command line: %.3f s (%.1f MiB/s)   best of two "
        "each\n",
        ourBest, mib / ourBest, curlBest, mib / curlBest);
    std::printf("  throughput ratio Korvane/curl: %.3f (target >= 0.95)\n", curlBest / ourBest);
    std::printf("  peak resident memory growth during the upload: %.1f MiB (target < 16 MiB)\n",
                ours.peakGrowthMiB);

    if (memorySizeMiB > 0) {
        writeRandomFile(file, memorySizeMiB * kMiB);
        const OurRun large = uploadWithKorvane(server.url, file, defaults);
        fs::remove(file);
        std::printf(
            "  %zu MiB file: %.3f s (%.1f MiB/s), peak resident memory growth %.1f MiB (target < "
            "16 MiB)\n",
            memorySizeMiB, large.seconds, static_cast<double>(memorySizeMiB) / large.seconds,
            large.peakGrowthMiB);
    }
    platform::setLogSink({});
    fs::remove_all(work);
    return 0;
}
