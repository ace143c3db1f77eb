// zqpack: builds self-extractors and bare archives, and lists, tests and
// extracts them without running them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "driver/driver.h"
#include "driver/options.h"
#include "pack/create.h"
#include "pack/inspect.h"
#include "pack/progress_line.h"
#include "pack/select.h"
#include "pack/stubs.h"
#include "platform/host_files.h"
#include "platform/platform.h"
#include "writer/packer.h"
#include "writer/tool_error.h"

namespace fs = std::filesystem;

namespace {

using zq::fail;

// A failure to reach the archive: a file I/O error, as the self-extractor
// ends when it cannot read its own archive.
[[noreturn]] void fail_to_read(const std::string& message) {
    throw zq::pack::StatusError(zq::kExitIoError, message);
}

// A folder or an unreadable path is named as such, with the system's reason,
// before anything tries to read an archive from it. Only a regular file is
// opened: a FIFO would keep the open waiting for a writer, a device give no
// end.
void require_archive_file(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec) fail_to_read("cannot open " + path + ": " + ec.message());
    if (fs::is_directory(status)) fail_to_read(path + " is a folder, not an archive");
    if (!fs::is_regular_file(status)) fail_to_read(path + " is not a regular file, not an archive");
    std::ifstream in(path, std::ios::binary);
    if (!in) fail_to_read("cannot open " + path + ": " + std::strerror(errno));
}

struct ExtractArgs {
    std::string directory;
    bool overwrite_all = false;
    bool never_overwrite = false;
    bool quiet = false;
    unsigned workers = 0;  // 0: as the self-extractor chooses
};

bool select_stored_path(const char* path, void* selection) {
    std::string text(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    return static_cast<zq::pack::Selection*>(selection)->matches(text);
}

// A pattern that takes nothing is an error, as in list and test (status 1),
// found before anything is extracted.
int selection_complete(void* selection) {
    const std::vector<std::string> missing =
        static_cast<zq::pack::Selection*>(selection)->unmatched();
    if (missing.empty()) return 0;
    std::fflush(stdout);
    std::fprintf(stderr, "zqpack: no file matches %s\n", missing.front().c_str());
    return 1;
}

[[noreturn]] void run_extract(const std::string& archive, const ExtractArgs& args,
                              const std::optional<std::string>& password,
                              zq::pack::Selection& selection) {
    fs::path source = fs::absolute(archive);
    if (!fs::is_regular_file(source)) fail_to_read("cannot open " + archive);
    std::fflush(stdout);
    zq::ExtractOptions options{};
    // The run makes and enters the folder as the stub's -d does: after the
    // catalogue and the selection are checked, so a refused run leaves none.
    if (!args.directory.empty()) options.target = args.directory.c_str();
    options.overwrite_all = args.overwrite_all;
    options.never_overwrite = args.never_overwrite;
    options.quiet = args.quiet;
    options.workers = args.workers;
    if (password) options.password = password->c_str();
    static zq::pack::HostNames host_names;
    options.host_names = zq::pack::take_host_names;
    options.host_names_context = &host_names;
    if (!selection.takes_all()) {
        options.select = select_stored_path;
        options.select_context = &selection;
        options.selection_done = selection_complete;
    }
    zq::extract_archive(source.string().c_str(), options);
}

// Keeps the entries that the selection takes; a pattern that takes nothing
// is an error, as a misspelt name should not pass for an empty result.
void apply_selection(zq::pack::OpenedArchive& archive, zq::pack::Selection& selection) {
    archive.keep_only(
        [&](const zq::pack::ArchiveEntry& entry) { return selection.matches(entry.path); });
    const std::vector<std::string> missing = selection.unmatched();
    if (!missing.empty()) fail("no file matches " + missing.front());
}

// --password-file beside a subcommand's --password, read as create reads it.
void add_password_file(CLI::App* command, CLI::Option* password, std::string& path) {
    command
        ->add_option("--password-file", path,
                     "take the password from the first line of this file (kept out of the "
                     "process list)")
        ->excludes(password);
}

const char* const kSubcommands[] = {"create", "list", "test", "extract"};

// CLI11 takes an unknown word for a missing subcommand; say what it is.
bool is_unknown_subcommand(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return false;
    for (const char* known : kSubcommands) {
        if (std::strcmp(argv[1], known) == 0) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zqpack: builds zqsfx self-extractors and lists, tests and extracts them"};
    app.set_version_flag("--version", std::string("zqpack ") + ZQ_VERSION);
    app.require_subcommand(1);
    unsigned threads = 0;

    zq::pack::CreateCommand create;
    zq::pack::add_create_command(app, create, threads);

    std::string archive;
    std::string password;
    std::string password_file;
    bool json = false;
    std::vector<std::string> patterns;
    const char* const kPatternsHelp =
        "only the files whose path or name matches one of these names or globs (* ? [...])";
    CLI::App* list_cmd = app.add_subcommand("list", "list the files of an archive");
    list_cmd->add_option("archive", archive, "self-extractor or bare archive")->required();
    add_password_file(list_cmd,
                      list_cmd->add_option("--password", password,
                                           "the archive's password (asked for when missing)"),
                      password_file);
    list_cmd->add_flag("--json", json, "print JSON for scripts");
    list_cmd->add_option("files", patterns, kPatternsHelp);

    CLI::App* test_cmd =
        app.add_subcommand("test", "decode every file in memory and check its size");
    test_cmd->add_option("archive", archive, "self-extractor or bare archive")->required();
    add_password_file(test_cmd,
                      test_cmd->add_option("--password", password,
                                           "the archive's password (asked for when missing)"),
                      password_file);
    test_cmd->add_option("-j,--jobs", threads, "decoding threads (default: one per core)")
        ->check(CLI::Range(1, 256));
    test_cmd->add_option("files", patterns, kPatternsHelp);

    ExtractArgs extract;
    CLI::App* extract_cmd =
        app.add_subcommand("extract", "extract an archive as its self-extractor would");
    extract_cmd->add_option("archive", archive, "self-extractor or bare archive")->required();
    extract_cmd->add_option("-C,--directory", extract.directory,
                            "extract into this folder (created when missing)");
    CLI::Option* yes_opt = extract_cmd->add_flag("-y,--yes", extract.overwrite_all,
                                                 "overwrite existing files without asking");
    extract_cmd
        ->add_flag("-n,--no-overwrite", extract.never_overwrite,
                   "keep every existing file, without asking")
        ->excludes(yes_opt);
    extract_cmd->add_flag("-q,--quiet", extract.quiet, "no banner, file lines or progress bars");
    extract_cmd
        ->add_option("-j,--jobs", extract.workers,
                     "decoding threads (default: ZQSFX_WORKERS, else one more than the cores; "
                     "at most 16)")
        ->check(CLI::Range(1, 256));
    add_password_file(extract_cmd,
                      extract_cmd->add_option("--password", password,
                                              "the archive's password (asked for when missing; "
                                              "a wrong one ends with status 4)"),
                      password_file);
    extract_cmd->add_option("files", patterns, kPatternsHelp);

    if (is_unknown_subcommand(argc, argv)) {
        std::fprintf(stderr, "zqpack: unknown subcommand %s (see zqpack --help)\n", argv[1]);
        return zq::kExitUsage;
    }

    try {
        app.parse(argc, argv);
        create.take_counts();
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "zqpack: %s (see zqpack --help)\n", e.what());
        return zq::kExitUsage;
    }

    try {
        std::optional<std::string> given =
            password.empty() ? std::nullopt : std::optional<std::string>(password);
        if (!password_file.empty()) given = zq::pack::read_password_file(password_file);
        if (*create.app) return zq::pack::run_create(create.args, threads);
        if (*list_cmd || *test_cmd || *extract_cmd) require_archive_file(archive);
        zq::pack::Selection selection(patterns);
        const zq::PasswordDialogue console = zq::console_password_dialogue();
        if (*list_cmd) {
            zq::pack::OpenedArchive opened(archive, given, &console);
            apply_selection(opened, selection);
            return zq::pack::list_archive(opened, json);
        }
        if (*test_cmd) {
            unsigned workers =
                threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
            zq::pack::OpenedArchive opened(archive, given, &console);
            apply_selection(opened, selection);
            return zq::pack::test_archive(opened, workers);
        }
        if (*extract_cmd) run_extract(archive, extract, given, selection);
    } catch (const zq::pack::StatusError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zqpack: %s\n", e.what());
        return e.status();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zqpack: %s\n", e.what());
        return 1;
    }
    return 1;
}
