// Replays fuzz inputs without libFuzzer: every file named on the command line, and every file of
// every folder named there (in name order, hidden files skipped), goes once through the target's
// LLVMFuzzerTestOneInput. A broken promise or a sanitizer report ends the run with a failure, so
// the ordinary test run keeps every corpus and regression input passing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        const std::size_t before = files.size();
        for (const fs::directory_entry& e : fs::directory_iterator(argv[i], ec)) {
            if (e.is_regular_file() && e.path().filename().string().front() != '.') {
                files.push_back(e.path());
            }
        }
        std::sort(files.begin() + static_cast<std::ptrdiff_t>(before), files.end());
        if (ec && fs::is_regular_file(argv[i])) {
            files.emplace_back(argv[i]);
        } else if (ec) {
            std::fprintf(stderr, "replay: %s is neither a file nor a folder\n", argv[i]);
            return 2;
        }
    }
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "replay: cannot read %s\n", f.c_str());
            return 2;
        }
        const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", f.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
