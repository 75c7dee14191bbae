// Throughput of identifying the largest executable that is still hashed: a 64 MiB unsigned file,
// read from the page cache, through the Linux code-signing back end and the system clock. This is
// the work that stands between an exec of a new, large binary and its trust-rule check.

#include "QuorinDaemon/Platform/Linux/SystemClock.hpp"
#include "QuorinDaemon/Platform/Linux/UnsignedCodeSigning.hpp"
#include "QuorinDaemon/Protection/ExecutableIdentification.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace quorin::daemon {
namespace {

namespace fs = std::filesystem;

// A file of the largest hashed size with pseudo-random content (so no file system can store it
// sparse or compressed), in a private directory that is removed when the process ends.
class LargeExecutable {
  public:
    LargeExecutable() {
        std::string pattern = (fs::temp_directory_path() / "quorin-benchmark-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        directory_ = pattern;
        path_ = directory_ / "large-tool";
        std::ofstream stream(path_, std::ios::binary | std::ios::trunc);
        std::vector<std::uint64_t> block(ExecutableIdentification::readChunkSize / 8);
        std::uint64_t state = 0x9E3779B97F4A7C15ULL;
        for (std::int64_t written = 0; written < ExecutableIdentification::contentDigestLimit;
             written += static_cast<std::int64_t>(ExecutableIdentification::readChunkSize)) {
            for (std::uint64_t& word : block) {
                state ^= state << 13;  // xorshift64
                state ^= state >> 7;
                state ^= state << 17;
                word = state;
            }
            stream.write(reinterpret_cast<const char*>(block.data()),
                         static_cast<std::streamsize>(ExecutableIdentification::readChunkSize));
        }
        if (!stream.flush()) {
            throw std::system_error(EIO, std::generic_category(), "write " + path_.string());
        }
    }
    ~LargeExecutable() {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    LargeExecutable(const LargeExecutable&) = delete;
    LargeExecutable& operator=(const LargeExecutable&) = delete;

    const fs::path& path() const { return path_; }

  private:
    fs::path directory_;
    fs::path path_;
};

const LargeExecutable& largeExecutable() {
    static const LargeExecutable file;
    return file;
}

void BM_Identification64MiBUnsigned(benchmark::State& state) {
    const fs::path& path = largeExecutable().path();
    const auto file = std::make_shared<const UniqueFd>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!file->valid() || ::fstat(file->get(), &status) != 0) {
        state.SkipWithError("the benchmark file could not be examined");
        return;
    }
    const ExecutionCandidate candidate{
        path.string(), fileVersion(status), false, false, false, "", "", std::nullopt, file};
    UnsignedCodeSigning codeSigning;
    const SystemClock clock;
    const ExecutableIdentification identification(codeSigning, clock);
    for (auto _ : state) {
        const Verification verification = identification.identity(candidate);
        if (!verification.rule) {
            state.SkipWithError("the benchmark file could not be identified");
            return;
        }
        benchmark::DoNotOptimize(verification);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * status.st_size);
}
BENCHMARK(BM_Identification64MiBUnsigned)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorin::daemon
