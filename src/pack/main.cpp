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

zq::Bytes read_whole_file(const fs::path& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(std::string("cannot read the ") + what + " " + path.string() + ": " +
             std::strerror(errno));
    return zq::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) ||
           fs::weakly_canonical(fs::absolute(a), ec) == fs::weakly_canonical(fs::absolute(b), ec);
}

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

// The password as the extractor will compare it: the first line, without
// its line ending. No more is read than the longest password the archive
// holds and that line end, so that no file (a device that never ends, say)
// can make it grow.
std::string read_password_file(const fs::path& path) {
    constexpr size_t kLongest = 255;
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read the password file " + path.string() + ": " + std::strerror(errno));
    std::string text;
    int c = 0;
    while (text.size() < kLongest + 2 && (c = in.get()) != EOF && c != '\n') text += char(c);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.size() > kLongest) {
        fail("the first line of the password file " + path.string() +
             " is longer than the longest password (255 bytes)");
    }
    return text;
}

// What the self-extractor cannot pass to the program it runs is refused
// here rather than found out by the user: the stored words, split as the
// extractor splits them, leave room for the user's words after --.
void check_run_words(const std::string& run_args) {
    constexpr size_t kLongestText = 12288;  // quoted, it fits a Windows command line
    if (run_args.size() > kLongestText)
        fail("--run-args: " + std::to_string(run_args.size()) + " bytes; at most 12288");
    std::vector<char> storage(run_args.size() + 1);
    std::vector<const char*> words(zq::kMaxRunWords + 1);
    const uint32_t count = zq::split_command_line(run_args.c_str(), false, storage.data(),
                                                  words.data(), zq::kMaxRunWords + 1);
    if (count > zq::kMaxRunWords) {
        fail("--run-args: more than " + std::to_string(zq::kMaxRunWords) +
             " words; the self-extractor passes at most " + std::to_string(zq::kMaxRunWords) +
             " to the program, the user's words after -- included");
    }
}

struct CreateArgs {
    std::string output;
    std::string stub;
    std::string password;
    bool password_given = false;
    std::string password_file;
    bool encrypt = false;
    unsigned scrypt_log2n = zq::kDefaultLog2N;
    bool flat = false;
    bool dir_tree = false;
    bool store = false;
    std::string base;  // -C: paths are taken inside this folder
    bool no_extension = false;
    bool owners = false;
    std::string run_file;
    bool run_given = false;
    std::string run_args;
    uint32_t code_page = 1252;
    bool code_page_given = false;
    std::vector<std::string> excludes;
    std::vector<std::string> inputs;
    zq::VersionTexts version;
};

// The version resource's options, named after its fields as resource
// compilers name them.
struct VersionOption {
    const char* name;
    const char* help;
    std::optional<std::string> zq::VersionTexts::*text;
};
const VersionOption kVersionOptions[] = {
    {"--product-name",
     "for a Windows stub: the ProductName of its version resource (default zqsfx)",
     &zq::VersionTexts::product_name},
    {"--file-description",
     "for a Windows stub: the FileDescription (default: zqsfx self-extractor)",
     &zq::VersionTexts::file_description},
    {"--company-name", "for a Windows stub: the CompanyName (default zqsfx)",
     &zq::VersionTexts::company_name},
    {"--file-version",
     "for a Windows stub: the FileVersion, 1 to 4 numbers as 1.2.3.4 (default: zqsfx's own)",
     &zq::VersionTexts::file_version},
    {"--product-version", "for a Windows stub: the ProductVersion (default: the --file-version)",
     &zq::VersionTexts::product_version},
    {"--legal-copyright", "for a Windows stub: the LegalCopyright (default: zqsfx developers)",
     &zq::VersionTexts::legal_copyright},
};

// With -C DIR the paths name things inside DIR, packed without DIR's own
// name; no path at all means everything DIR holds, in name order.
std::vector<fs::path> create_inputs(const CreateArgs& args) {
    std::vector<fs::path> inputs;
    if (args.base.empty()) {
        inputs.assign(args.inputs.begin(), args.inputs.end());
        if (inputs.empty()) fail("nothing to pack: give files or folders, or -C DIR");
        return inputs;
    }
    const fs::path base(args.base);
    if (!fs::is_directory(base)) fail("no folder " + args.base);
    bool whole = args.inputs.empty();
    for (const std::string& input : args.inputs) {
        // As with tar, "." (or "./") is DIR itself: its contents, not a
        // folder under DIR's own name.
        const fs::path inside = fs::path(input).lexically_normal();
        if (inside.empty() || inside == "." || inside == "./")
            whole = true;
        else
            inputs.push_back(base / input);
    }
    if (whole) {
        std::vector<fs::path> contents;
        for (const fs::directory_entry& entry : fs::directory_iterator(base))
            contents.push_back(entry.path());
        std::sort(contents.begin(), contents.end());
        inputs.insert(inputs.end(), contents.begin(), contents.end());
    }
    return inputs;
}

int run_create(const CreateArgs& args, unsigned threads) {
    // Before any input is read: the output must be free to take its place.
    zq::refuse_special_output(args.output);
    if (args.run_given && args.run_file.empty())
        fail("--run needs the stored path of a packed file, such as tree/install.sh");
    check_run_words(args.run_args);
    zq::PackOptions options;
    options.full_path = !args.flat;
    options.inputs_share_folder = !args.base.empty();
    options.dir_tree = args.dir_tree;
    options.store = args.store;
    options.extension = !args.no_extension;
    options.owners = args.owners;
    options.threads = threads;
    if (!args.run_file.empty()) options.run_file = args.run_file;
    options.run_args = args.run_args;
    if (!args.excludes.empty()) {
        options.excluded = [&args](const std::string& path) {
            return zq::pack::excluded(args.excludes, path);
        };
    }
    if (args.password_given) options.password = args.password;
    if (!args.password_file.empty()) options.password = read_password_file(args.password_file);
    if (args.encrypt) {
        if (!options.password) fail("--encrypt needs --password or --password-file");
        options.seal = zq::SealOptions{*options.password, uint8_t(args.scrypt_log2n)};
        options.password.reset();
    }
    std::string made = "a bare archive";
    if (args.stub != "none") {
        const fs::path stub = zq::pack::find_stub(args.stub);
        if (!fs::is_regular_file(stub)) {
            fail("no stub at " + stub.string() +
                 " (give --stub FILE, or --stub none for a bare archive)");
        }
        if (same_file(stub, args.output))
            fail("the output " + args.output + " is the stub " + stub.string());
        options.stub = read_whole_file(stub, "stub");
        const zq::StubKind kind = zq::stub_kind(*options.stub);
        if (kind == zq::StubKind::kNotExecutable)
            fail("the stub " + stub.string() + " is not an ELF or PE executable");
        const bool windows = kind == zq::StubKind::kWindowsPe;
        made = std::string("a ") + (windows ? "Windows (PE)" : "Linux (ELF)") +
               " self-extractor, stub " + stub.string();
        if (windows) options.code_page = args.code_page;
        if (windows) options.version = args.version;
    }
    if (args.version.any() && options.code_page == 0)
        fail("the version resource options are for a Windows stub");
    if (options.version.file_version && !options.version.product_version)
        options.version.product_version = options.version.file_version;
    if (args.code_page_given && options.code_page == 0) {
        fail(
            "--codepage is for a Windows stub; names for a Linux stub or a bare archive are stored "
            "as UTF-8");
    }
    zq::pack::ProgressLine bar(stderr);
    if (zq::stderr_is_terminal())
        options.progress = [&bar](const zq::PackProgress& done) { bar.update(done); };
    const std::vector<fs::path> inputs = create_inputs(args);
    const uint64_t stub_bytes = options.stub ? options.stub->size() : 0;
    zq::PackSummary summary;
    try {
        summary = zq::pack_paths(inputs, args.output, options);
    } catch (...) {
        bar.finish();
        throw;
    }
    bar.finish();
    for (const std::string& skipped : summary.skipped) {
        std::fprintf(stderr, "zqpack: skipped %s (not a regular file or folder)\n",
                     skipped.c_str());
    }
    for (const std::string& warning : summary.warnings)
        std::fprintf(stderr, "zqpack: warning: %s\n", warning.c_str());
    std::printf("%s: %s\n", args.output.c_str(), made.c_str());
    std::printf("%s: %u files, %u folders, %llu bytes -> %llu bytes (stub %llu + archive %llu)\n",
                args.output.c_str(), summary.files, summary.dirs,
                (unsigned long long)summary.original_bytes,
                (unsigned long long)summary.output_bytes, (unsigned long long)stub_bytes,
                (unsigned long long)(summary.output_bytes - stub_bytes));
    return 0;
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

    CreateArgs create;
    CLI::App* create_cmd =
        app.add_subcommand("create", "pack files and folders into a self-extractor");
    create_cmd->add_option("-o,--output", create.output, "the file to write")->required();
    create_cmd->add_option("--stub", create.stub,
                           "the extractor to put in front: a file, or a name listed below "
                           "(default: linux; none: a bare archive)");
    create_cmd->footer(zq::pack::stubs_found_text);
    CLI::Option* password_opt =
        create_cmd->add_option("--password", create.password,
                               "ask for this password before extracting. Without --encrypt a "
                               "gate only: the files are not encrypted and can be read "
                               "from the archive without it");
    create_cmd
        ->add_option("--password-file", create.password_file,
                     "take the password from the first line of this file")
        ->excludes(password_opt);
    create_cmd->add_flag("--encrypt", create.encrypt,
                         "encrypt and authenticate the whole archive (names, sizes, times, "
                         "contents) under the password; only the total size shows");
    create_cmd
        ->add_option("--scrypt-log2n", create.scrypt_log2n,
                     "with --encrypt: scrypt's cost, log2 of N (default 16: 64 MiB)")
        ->check(CLI::Range(1, 17));
    create_cmd->add_flag("--flat", create.flat,
                         "extract every file into one folder, without its stored path");
    create_cmd->add_flag(
        "--dir-tree", create.dir_tree,
        "create the whole stored folder tree (empty folders too) before extracting");
    create_cmd->add_flag("--store", create.store, "store every file uncoded");
    CLI::Option* no_extension_opt = create_cmd->add_flag(
        "--no-extension", create.no_extension,
        "leave out checksums, Unix modes, links and folder modes and times (records exactly as "
        "first defined)");
    create_cmd
        ->add_flag("--owners", create.owners,
                   "store numeric owners too, restored when the extractor runs as root")
        ->excludes(no_extension_opt);
    CLI::Option* code_page_opt =
        create_cmd->add_option("--codepage", create.code_page,
                               "for a Windows stub: the ANSI code page to store names in (default "
                               "1252; 932 Japanese, 936, 949, 950, 874, 1250-1258)");
    create_cmd->add_option("-j,--jobs", threads, "coding threads (default: one per core)")
        ->check(CLI::Range(1, 256));
    create_cmd->add_option(
        "-C,--directory", create.base,
        "pack this folder's contents without its own name (paths are then inside it)");
    CLI::Option* run_opt = create_cmd->add_option(
        "--run", create.run_file,
        "installer: the self-extractor runs this packed file (its stored path, e.g. "
        "tree/install.sh) in the "
        "extraction folder once everything is extracted, and ends with its exit status");
    create_cmd
        ->add_option(
            "--run-args", create.run_args,
            "arguments for the --run file, split as a command line is (blanks, double quotes); "
            "the user's words after -- follow them")
        ->needs(run_opt);
    create_cmd
        ->add_option("--exclude", create.excludes,
                     "leave out every file or folder (with all it holds) whose name, or path from "
                     "the top of "
                     "what is packed, matches this glob (* ? [...]); repeatable")
        ->allow_extra_args(false)
        ->type_name("GLOB");
    std::string version_texts[std::size(kVersionOptions)];
    CLI::Option* version_opts[std::size(kVersionOptions)];
    for (size_t i = 0; i < std::size(kVersionOptions); ++i) {
        version_opts[i] = create_cmd->add_option(kVersionOptions[i].name, version_texts[i],
                                                 kVersionOptions[i].help);
    }
    create_cmd->add_option("paths", create.inputs, "files and folders to pack");

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
                     "decoding threads (default: ZQSFX_WORKERS, else one per core; at most 16)")
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
        create.password_given = password_opt->count() > 0;
        create.run_given = run_opt->count() > 0;
        create.code_page_given = code_page_opt->count() > 0;
        for (size_t i = 0; i < std::size(kVersionOptions); ++i) {
            if (version_opts[i]->count() > 0)
                create.version.*kVersionOptions[i].text = version_texts[i];
        }
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
        if (!password_file.empty()) given = read_password_file(password_file);
        if (*create_cmd) return run_create(create, threads);
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
