// zqpack create: its options and the packing run they ask for.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "format/sealed_format.h"
#include "writer/pe_resources.h"

namespace zq::pack {

// The password as the extractor will compare it: the first line of the
// file, without its line ending, at most 255 bytes.
std::string read_password_file(const std::filesystem::path& path);

struct CreateArgs {
    std::string output;
    std::string stub;
    std::string password;
    bool password_given = false;
    std::string password_file;
    bool encrypt = false;
    unsigned scrypt_log2n = kDefaultLog2N;
    bool flat = false;
    bool dir_tree = false;
    bool store = false;
    std::string base;  // -C: paths are taken inside this folder
    bool no_extension = false;
    bool owners = false;
    bool wide = false;
    std::string run_file;
    bool run_given = false;
    std::string run_args;
    bool temp_folder = false;
    bool check_first = false;
    bool no_check_first = false;
    uint32_t code_page = 1252;
    bool code_page_given = false;
    std::vector<std::string> excludes;
    std::vector<std::string> inputs;
    VersionTexts version;
};

// The version resource's texts: one option each.
constexpr size_t kVersionOptionCount = 6;

// The subcommand and what its options fill.
struct CreateCommand {
    CreateArgs args;
    CLI::App* app = nullptr;
    CLI::Option* password = nullptr;
    CLI::Option* run = nullptr;
    CLI::Option* code_page = nullptr;
    std::string version_texts[kVersionOptionCount];
    CLI::Option* version_options[kVersionOptionCount] = {};
    // Once the command line is parsed: what only the option counts say.
    void take_counts();
};

// Adds "create" to `app`; -j fills `threads`.
void add_create_command(CLI::App& app, CreateCommand& command, unsigned& threads);

// Packs as the arguments say; 0, or throws with a one-line message.
int run_create(const CreateArgs& args, unsigned threads);

}  // namespace zq::pack
