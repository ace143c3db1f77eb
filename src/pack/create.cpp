// zqpack create: its options and the packing run they ask for.
#include "pack/create.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "driver/options.h"
#include "pack/progress_line.h"
#include "pack/select.h"
#include "pack/stubs.h"
#include "platform/host_files.h"
#include "platform/platform.h"
#include "writer/packer.h"
#include "writer/tool_error.h"

namespace zq::pack {

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

}  // namespace

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

namespace {

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
static_assert(std::size(kVersionOptions) == kVersionOptionCount, "one text per option");

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

}  // namespace

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
    options.wide = args.wide;
    options.threads = threads;
    if (!args.run_file.empty()) options.run_file = args.run_file;
    options.run_args = args.run_args;
    // An installer is checked whole before it writes anything unless asked
    // otherwise; a plain archive only when asked.
    options.check_first = args.check_first || (args.run_given && !args.no_check_first);
    options.temp_folder = args.temp_folder;
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
    std::string stub_named;
    fs::path wide_stub;
    if (args.stub != "none") {
        const fs::path stub = zq::pack::find_stub(args.stub, args.encrypt);
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
        if (args.encrypt && !zq::stub_reads_encrypted(*options.stub)) {
            fail("the stub " + stub.string() +
                 " cannot decrypt: give --stub windows-encrypted for Windows");
        }
        const bool windows = kind == zq::StubKind::kWindowsPe;
        wide_stub = args.encrypt ? fs::path() : zq::pack::find_wide_stub(args.stub);
        if (!wide_stub.empty()) options.wide_stub = read_whole_file(wide_stub, "stub");
        made = std::string("a ") + (windows ? "Windows (PE)" : "Linux (ELF)") +
               " self-extractor, stub ";
        stub_named = stub.string();
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
    if (summary.took_wide_stub) stub_named = wide_stub.string();
    std::printf("%s: %s%s\n", args.output.c_str(), made.c_str(), stub_named.c_str());
    const uint64_t stub_bytes = summary.stub_bytes;
    std::printf("%s: %u files, %u folders, %llu bytes -> %llu bytes (stub %llu + archive %llu)\n",
                args.output.c_str(), summary.files, summary.dirs,
                (unsigned long long)summary.original_bytes,
                (unsigned long long)summary.output_bytes, (unsigned long long)stub_bytes,
                (unsigned long long)(summary.output_bytes - stub_bytes));
    return 0;
}

void CreateCommand::take_counts() {
    args.password_given = password->count() > 0;
    args.run_given = run->count() > 0;
    args.code_page_given = code_page->count() > 0;
    for (size_t i = 0; i < std::size(kVersionOptions); ++i) {
        if (version_options[i]->count() > 0)
            args.version.*kVersionOptions[i].text = version_texts[i];
    }
}

void add_create_command(CLI::App& app, CreateCommand& command, unsigned& threads) {
    CreateArgs& args = command.args;
    command.app = app.add_subcommand("create", "pack files and folders into a self-extractor");
    command.app->add_option("-o,--output", args.output, "the file to write")->required();
    command.app->add_option("--stub", args.stub,
                            "the extractor to put in front: a file, or a name listed below "
                            "(default: linux; none: a bare archive; with --encrypt, windows is "
                            "windows-encrypted)");
    command.app->footer(stubs_found_text);
    command.password =
        command.app->add_option("--password", args.password,
                                "ask for this password before extracting. Without --encrypt a "
                                "gate only: the files "
                                "are not encrypted and can be read "
                                "from the archive without it");
    command.app
        ->add_option("--password-file", args.password_file,
                     "take the password from the first line of this file")
        ->excludes(command.password);
    command.app->add_flag("--encrypt", args.encrypt,
                          "encrypt and authenticate the whole archive (names, sizes, times, "
                          "contents) under the password; only the total size shows");
    command.app
        ->add_option("--scrypt-log2n", args.scrypt_log2n,
                     "with --encrypt: scrypt's cost, log2 of N (default 16: 64 MiB)")
        ->check(CLI::Range(1, 17));
    command.app->add_flag("--flat", args.flat,
                          "extract every file into one folder, without its stored path");
    command.app->add_flag(
        "--dir-tree", args.dir_tree,
        "create the whole stored folder tree (empty folders too) before extracting");
    command.app->add_flag("--store", args.store, "store every file uncoded");
    command.app->add_flag("--wide", args.wide,
                          "write the wide catalogue even where it is not needed");
    CLI::Option* no_extension = command.app->add_flag(
        "--no-extension", args.no_extension,
        "leave out checksums, Unix modes, links and folder modes and times (records exactly as "
        "first defined)");
    command.app
        ->add_flag("--owners", args.owners,
                   "store numeric owners too, restored when the extractor runs as root")
        ->excludes(no_extension);
    command.code_page =
        command.app->add_option("--codepage", args.code_page,
                                "for a Windows stub: the ANSI code page to store names in (default "
                                "1252; 932 Japanese, 936, 949, 950, 874, 1250-1258)");
    command.app->add_option("-j,--jobs", threads, "coding threads (default: one per core)")
        ->check(CLI::Range(1, 256));
    command.app->add_option(
        "-C,--directory", args.base,
        "pack this folder's contents without its own name (paths are then inside it)");
    command.run = command.app->add_option(
        "--run", args.run_file,
        "installer: the self-extractor runs this packed file (its stored path, e.g. "
        "tree/install.sh) in the "
        "extraction folder once everything is extracted, and ends with its exit status");
    command.app
        ->add_option(
            "--run-args", args.run_args,
            "arguments for the --run file, split as a command line is (blanks, double quotes); "
            "the user's words after -- follow them")
        ->needs(command.run);
    command.app
        ->add_flag("--temp", args.temp_folder,
                   "installer: extract into a new private temporary folder, run the --run file "
                   "there and remove the folder afterwards, whatever its status (the user's -d "
                   "or --noexec extract into a folder of the user's instead, which stays)")
        ->needs(command.run);
    CLI::Option* check_first = command.app->add_flag(
        "--check-first", args.check_first,
        "the self-extractor checks every file, as its -t does, before it writes the first "
        "one (the default for an installer; its user may skip it with --nocheck)");
    command.app
        ->add_flag("--no-check-first", args.no_check_first,
                   "write each file as it is read, also for an installer")
        ->excludes(check_first);
    command.app
        ->add_option("--exclude", args.excludes,
                     "leave out every file or folder (with all it holds) whose name, or path from "
                     "the top of "
                     "what is packed, matches this glob (* ? [...]); repeatable")
        ->allow_extra_args(false)
        ->type_name("GLOB");
    for (size_t i = 0; i < std::size(kVersionOptions); ++i) {
        command.version_options[i] = command.app->add_option(
            kVersionOptions[i].name, command.version_texts[i], kVersionOptions[i].help);
    }
    command.app->add_option("paths", args.inputs, "files and folders to pack");
}

}  // namespace zq::pack
