// The Linux stub's console: a pipe gets one line per file and line feeds
// alone, a terminal gets the progress bars. The Windows stub writes its own
// bytes wherever its output goes, so these runs are for Linux stubs only.
#include "harness.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace e2e {
namespace {

ArchiveBuilder files_in_a_folder() {
    ArchiveBuilder archive;
    archive.dirs = {{1, "docs"}};
    TestFile coded;
    coded.name = "big.txt";
    coded.content = std::string(100000, 'b');
    TestFile raw;
    raw.name = "data.bin";
    raw.dir_id = 1;
    raw.content = "0123456789";
    raw.coded = false;
    archive.files = {coded, raw};
    return archive;
}

const std::string kBanner =
    "Crateworks(WOX 32)  Self-Extractor V01L09\n" + std::string(41, '~') + "\n";

class LinuxConsole : public EndToEnd {
protected:
    void SetUp() override {
        if (ends_with(stub_path(), ".exe"))
            GTEST_SKIP() << "the Windows stub keeps its console bytes";
        EndToEnd::SetUp();
    }

    // Runs the program with a new pseudo-terminal as its standard output
    // (raw, so the bytes arrive as written) and /dev/null as its input.
    RunResult run_on_terminal(const std::string& program) {
        RunResult result;
        int terminal = -1, side = -1;
        if (openpty(&terminal, &side, nullptr, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return result;
        }
        termios mode{};
        tcgetattr(side, &mode);
        cfmakeraw(&mode);
        tcsetattr(side, TCSANOW, &mode);
        std::vector<std::string> words = run_prefix();
        words.push_back(program);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int none = open("/dev/null", O_RDWR);
            dup2(none, 0);
            dup2(side, 1);
            dup2(none, 2);
            if (chdir(work_.c_str()) != 0) _exit(126);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(side);
        // Read to the end: EIO once the last holder of the terminal's other
        // side is gone, after everything written to it has been read.
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(terminal, buffer, sizeof buffer);
            if (n > 0) {
                result.out.append(buffer, size_t(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        close(terminal);
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }
};

TEST_F(LinuxConsole, APipeGetsOneLinePerFileAndNoCarriageReturn) {
    const std::string sfx = make_sfx(files_in_a_folder().archive());
    RunResult result = run(sfx);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kBanner + "+big.txt\n docs/data.bin\n");  // a log names the path

    // A question names its path with '/'; the answer's line ends with LF.
    result = run(sfx, say({"n\n", "y\n"}));
    EXPECT_EQ(result.out,
              kBanner + "big.txt\n is exist, overwrite(Yes/No/All)? \n" +
                  "docs/data.bin\n is exist, overwrite(Yes/No/All)? \n docs/data.bin\n");

    // Listings, test reports, refusals and the usage end their lines the same way.
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"-l"}, {"-t"}, {"-n"}, {"--help"}, {"--frob"}, {"--version"}}) {
        result = run_with(sfx, words);
        EXPECT_EQ(result.out.find('\r'), std::string::npos) << words[0] << ": " << result.out;
        EXPECT_EQ(result.out.find('\\'), std::string::npos) << words[0] << ": " << result.out;
        EXPECT_EQ(result.out.back(), '\n') << words[0];
    }
    EXPECT_NE(run_with(sfx, {"-l"}).out.find("  docs/data.bin\n"), std::string::npos);
}

TEST_F(LinuxConsole, ATerminalGetsTheProgressBars) {
    const RunResult result = run_on_terminal(make_sfx(files_in_a_folder().archive()));
    EXPECT_EQ(result.status, 0);
    const std::string indent(15, ' ');
    const std::string done = indent + ": done." + std::string(46, ' ') + "\n";
    EXPECT_EQ(result.out, kBanner + "+big.txt\n" + std::string(18, ' ') +
                              "----+----+----+----+----+----+----+----+----+----|\r" + indent +
                              ": |" + std::string(49, '#') + "\r" + done + " data.bin\n" +
                              std::string(18, ' ') + "Copying original data..." +
                              std::string(27, ' ') + "\r" + indent + ": \r" + done);
    EXPECT_EQ(read_file("docs/data.bin"), "0123456789");
}

}  // namespace
}  // namespace e2e
