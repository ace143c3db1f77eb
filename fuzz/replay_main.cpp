// Runs a fuzz target over files and folders of inputs without libFuzzer, so
// that the ordinary build replays the seed corpora and the kept regression
// inputs. Exits nonzero when an argument cannot be read; a failing input
// aborts, naming itself first.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static int run_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", path.c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

int main(int argc, char** argv) {
    int failures = 0;
    size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                if (entry.is_regular_file() && entry.path().filename() != ".keep") {
                    failures += run_file(entry.path());
                    ++inputs;
                }
            }
        } else {
            failures += run_file(arg);
            ++inputs;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs);
    return failures == 0 ? 0 : 1;
}
