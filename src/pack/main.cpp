// zqpack: builds self-extractors and bare archives, and lists, tests and
// extracts them without running them.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "platform/host_files.h"
#include "writer/packer.h"
#include "driver/driver.h"
#include "pack/inspect.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

zq::Bytes read_whole_file(const fs::path& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(std::string("cannot read the ") + what + " " + path.string());
    return zq::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path own_directory() {
    char buffer[4096];
    uint32_t length = zq::own_executable_path(buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) fail("cannot find zqpack's own folder");
    return fs::path(std::string(buffer, length)).parent_path();
}

// The stub create puts in front by default: the one built beside zqpack, else
// the installed one (ZQ_STUB_DIR is relative to the folder zqpack is in).
fs::path default_stub() {
    const fs::path beside = own_directory() / "zqsfx";
#ifdef ZQ_STUB_DIR
    if (!fs::exists(beside)) return own_directory() / ZQ_STUB_DIR / "zqsfx";
#endif
    return beside;
}

// The password as the extractor will compare it: one line, without its line
// ending.
std::string read_password_file(const fs::path& path) {
    zq::Bytes bytes = read_whole_file(path, "password file");
    std::string text(bytes.begin(), bytes.end());
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find_first_of("\r\n") != std::string::npos) fail("the password file holds more than one line");
    return text;
}

class ProgressBar {
public:
    void operator()(uint64_t done, uint64_t total) {
        int percent = total == 0 ? 100 : int(done * 100 / total);
        if (percent == shown_) return;
        shown_ = percent;
        int marks = percent / 2;
        std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(size_t(marks), '#').c_str(),
                     std::string(size_t(50 - marks), '.').c_str(), percent);
        std::fflush(stderr);
    }
    void finish() const {
        if (shown_ >= 0) std::fputs("\n", stderr);
    }

private:
    int shown_ = -1;
};

struct CreateArgs {
    std::string output;
    std::string stub;
    std::string password;
    bool password_given = false;
    std::string password_file;
    bool flat = false;
    bool dir_tree = false;
    bool store = false;
    std::vector<std::string> inputs;
};

int run_create(const CreateArgs& args, unsigned threads) {
    zq::PackOptions options;
    options.full_path = !args.flat;
    options.dir_tree = args.dir_tree;
    options.store = args.store;
    options.threads = threads;
    if (args.password_given) options.password = args.password;
    if (!args.password_file.empty()) options.password = read_password_file(args.password_file);
    if (args.stub != "none") {
        fs::path stub = args.stub.empty() ? default_stub() : fs::path(args.stub);
        if (!fs::is_regular_file(stub)) {
            fail("no stub at " + stub.string() + " (give --stub FILE, or --stub none for a bare archive)");
        }
        options.stub = read_whole_file(stub, "stub");
    }
    ProgressBar bar;
    if (zq::stderr_is_terminal()) options.progress = [&bar](uint64_t done, uint64_t total) { bar(done, total); };
    std::vector<fs::path> inputs(args.inputs.begin(), args.inputs.end());
    zq::PackSummary summary;
    try {
        summary = zq::pack_paths(inputs, args.output, options);
    } catch (...) {
        bar.finish();
        throw;
    }
    bar.finish();
    for (const std::string& skipped : summary.skipped) {
        std::fprintf(stderr, "zqpack: skipped %s (not a regular file or folder)\n", skipped.c_str());
    }
    std::printf("%s: %u files, %u folders, %llu bytes -> %llu bytes\n", args.output.c_str(), summary.files,
                summary.dirs, (unsigned long long)summary.original_bytes, (unsigned long long)summary.output_bytes);
    return 0;
}

[[noreturn]] void run_extract(const std::string& archive, const std::string& directory, bool overwrite_all) {
    fs::path source = fs::absolute(archive);
    if (!fs::is_regular_file(source)) fail("cannot open " + archive);
    if (!directory.empty()) {
        std::error_code ec;
        fs::create_directories(directory, ec);
        if (!ec) fs::current_path(directory, ec);
        if (ec) fail("cannot enter " + directory + ": " + ec.message());
    }
    std::fflush(stdout);
    zq::extract_archive(source.string().c_str(), overwrite_all);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zqpack: builds zqsfx self-extractors and lists, tests and extracts them"};
    app.set_version_flag("--version", std::string("zqpack ") + ZQ_VERSION);
    app.require_subcommand(1);
    unsigned threads = 0;

    CreateArgs create;
    CLI::App* create_cmd = app.add_subcommand("create", "pack files and folders into a self-extractor");
    create_cmd->add_option("-o,--output", create.output, "the file to write")->required();
    create_cmd->add_option("--stub", create.stub, "the extractor to put in front (default: zqsfx beside zqpack, else the installed one; none: a bare archive)");
    CLI::Option* password_opt = create_cmd->add_option("--password", create.password, "protect the archive with this password");
    create_cmd->add_option("--password-file", create.password_file, "take the password from the first line of this file")
        ->excludes(password_opt);
    create_cmd->add_flag("--flat", create.flat, "extract every file into one folder, without its stored path");
    create_cmd->add_flag("--dir-tree", create.dir_tree, "create the whole stored folder tree (empty folders too) before extracting");
    create_cmd->add_flag("--store", create.store, "store every file uncoded");
    create_cmd->add_option("-j,--jobs", threads, "coding threads (default: one per core)")->check(CLI::Range(1, 256));
    create_cmd->add_option("paths", create.inputs, "files and folders to pack")->required();

    std::string archive;
    std::string password;
    bool json = false;
    CLI::App* list_cmd = app.add_subcommand("list", "list the files of an archive");
    list_cmd->add_option("archive", archive, "self-extractor or bare archive")->required();
    list_cmd->add_option("--password", password, "the archive's password (asked for when missing)");
    list_cmd->add_flag("--json", json, "print JSON for scripts");

    CLI::App* test_cmd = app.add_subcommand("test", "decode every file in memory and check its size");
    test_cmd->add_option("archive", archive, "self-extractor or bare archive")->required();
    test_cmd->add_option("--password", password, "the archive's password (asked for when missing)");
    test_cmd->add_option("-j,--jobs", threads, "decoding threads (default: one per core)")->check(CLI::Range(1, 256));

    std::string directory;
    bool overwrite_all = false;
    CLI::App* extract_cmd = app.add_subcommand("extract", "extract an archive as its self-extractor would");
    extract_cmd->add_option("archive", archive, "self-extractor or bare archive")->required();
    extract_cmd->add_option("-C,--directory", directory, "extract into this folder (created when missing)");
    extract_cmd->add_flag("-y,--yes", overwrite_all, "overwrite existing files without asking");

    try {
        app.parse(argc, argv);
        create.password_given = password_opt->count() > 0;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "zqpack: %s (see zqpack --help)\n", e.what());
        return 2;
    }

    try {
        std::optional<std::string> given = password.empty() ? std::nullopt : std::optional<std::string>(password);
        if (*create_cmd) return run_create(create, threads);
        if (*list_cmd) return zq::pack::list_archive(zq::pack::OpenedArchive(archive, given), json);
        if (*test_cmd) {
            unsigned workers = threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
            return zq::pack::test_archive(zq::pack::OpenedArchive(archive, given), workers);
        }
        if (*extract_cmd) run_extract(archive, directory, overwrite_all);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zqpack: %s\n", e.what());
        return 1;
    }
    return 1;
}
