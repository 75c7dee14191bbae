// Runs a fuzz target's entry point over saved inputs without libFuzzer, so the normal build replays
// the seeds and the minimized reproducers as tests. Each argument is a file or a directory, whose
// regular files are read in name order; a fault aborts the run as it would under the fuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument) {
    if (!std::filesystem::is_directory(argument)) {
        return {argument};
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argument)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string contentsOf(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        throw std::filesystem::filesystem_error("cannot open the input", file,
                                                std::make_error_code(std::errc::io_error));
    }
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    try {
        for (int index = 1; index < argc; ++index) {
            for (const std::filesystem::path& file : inputsOf(argv[index])) {
                const std::string bytes = contentsOf(file);
                std::printf("%s\n", file.c_str());
                std::fflush(stdout);  // so the input that faults is the last one named
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       bytes.size());
                ++replayed;
            }
        }
    } catch (const std::filesystem::filesystem_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    // A replay that finds nothing to run would pass without testing anything.
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
