// The Win32 platform layer, exercised under Wine through platform.h alone.
// Built with the cross compiler by tests/wine/CMakeLists.txt and run in an
// empty scratch directory; run_platform_test.sh then checks from the Linux
// side what only the host can see (the times the layer set).
//
// It is linked with the stub's own runtime helpers (win32_runtime.cpp) and
// built with -fno-builtin, so the block moves, the 64-bit divisions and the
// stack probe below run the stub's versions, not the C runtime's.
//
// Prints one line per failed check and exits with the number of failures.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/divide.h"
#include "platform/platform.h"

namespace {

int g_failures = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
            ++g_failures;                                                             \
        }                                                                             \
    } while (0)

using namespace zq;

void write_file(const char* path, const char* text) {
    FileHandle file = file_create_new(path);
    CHECK(file != kNoFile);
    if (file == kNoFile) return;
    CHECK(file_write(file, text, static_cast<uint32_t>(std::strlen(text))) ==
          static_cast<int32_t>(std::strlen(text)));
    CHECK(file_close(file) == 0);
}

// Whole content of a file, NUL-terminated, or "<none>" when it cannot be read.
const char* read_file(const char* path) {
    static char content[256];
    std::strcpy(content, "<none>");
    FileHandle file = file_open_read(path);
    if (file == kNoFile) return content;
    int32_t n = file_read(file, content, sizeof content - 1);
    content[n < 0 ? 0 : n] = '\0';
    file_close(file);
    return content;
}

void test_exclusive_create_and_io() {
    write_file("keep.txt", "original");
    // The name is taken: the creation fails and the file keeps its bytes.
    CHECK(file_create_new("keep.txt") == kNoFile);
    CHECK(std::strcmp(read_file("keep.txt"), "original") == 0);

    FileHandle file = file_create_new("io.bin");
    CHECK(file != kNoFile);
    CHECK(file_write(file, "0123456789", 10) == 10);
    // A write of nothing must not cut the file at the current position.
    CHECK(file_seek(file, 4, kSeekSet) == 4);
    CHECK(file_write(file, "", 0) == 0);
    CHECK(file_seek(file, 0, kSeekEnd) == 10);
    CHECK(file_seek(file, -3, kSeekCur) == 7);
    CHECK(file_seek(file, -20, kSeekSet) == -1);
    CHECK(file_close(file) == 0);

    file = file_open_read("io.bin");
    char buffer[32] = {};
    CHECK(file_seek(file, 6, kSeekSet) == 6);
    CHECK(file_read(file, buffer, sizeof buffer) == 4);  // short count at the end
    CHECK(std::memcmp(buffer, "6789", 4) == 0);
    CHECK(file_read(file, buffer, sizeof buffer) == 0);
    CHECK(file_close(file) == 0);
    CHECK(file_open_read("missing.bin") == kNoFile);
}

void test_attributes_delete_and_move() {
    write_file("ro.txt", "ro");
    CHECK(file_set_attributes("ro.txt", kAttrReadOnly | kAttrHidden));
    uint32_t attributes = file_get_attributes("ro.txt");
    CHECK(attributes != kNoAttributes && (attributes & kAttrReadOnly) &&
          (attributes & kAttrHidden));
    // A read-only file resists deletion until its attributes are cleared.
    CHECK(!file_delete("ro.txt"));
    CHECK(file_set_attributes("ro.txt", kAttrNormal));
    CHECK(file_delete("ro.txt"));
    CHECK(file_get_attributes("ro.txt") == kNoAttributes);

    write_file("new.txt", "new");
    write_file("old.txt", "old");
    CHECK(file_move_replace("new.txt", "old.txt"));
    CHECK(std::strcmp(read_file("old.txt"), "new") == 0);
    CHECK(file_get_attributes("new.txt") == kNoAttributes);

    // A directory in the way stays, and so does the file that was to replace it.
    CHECK(dir_create("dir"));
    CHECK((file_get_attributes("dir") & kAttrDirectory) != 0);
    write_file("next.txt", "next");
    CHECK(!file_move_replace("next.txt", "dir"));
    CHECK((file_get_attributes("dir") & kAttrDirectory) != 0);
    CHECK(std::strcmp(read_file("next.txt"), "next") == 0);
    CHECK(!file_delete("dir"));
    CHECK(!file_move_replace("absent.txt", "old.txt"));
    CHECK(std::strcmp(read_file("old.txt"), "new") == 0);

    // A name just moved away from is free without a look. Someone else taking
    // it meanwhile is found by the exclusive creation, and then the look is real.
    write_file("moved.txt", "m");
    CHECK(file_move_replace("moved.txt", "kept.txt"));
    CHECK(file_get_attributes("moved.txt") == kNoAttributes);
    std::FILE* other = std::fopen("moved.txt", "w");
    CHECK(other != nullptr);
    if (other != nullptr) std::fclose(other);
    CHECK(file_create_new("moved.txt") == kNoFile);
    CHECK(file_get_attributes("moved.txt") != kNoAttributes);
}

void test_times() {
    // Checked from the Linux side: 2001-09-09 01:46:40 UTC as write time and
    // 2009-02-13 23:31:30 UTC as access time (FILETIME units).
    write_file("timed.txt", "t");
    const uint64_t epoch = 116444736000000000ull;
    const uint64_t write = epoch + 1000000000ull * 10000000ull;
    const uint64_t access = epoch + 1234567890ull * 10000000ull;
    CHECK(file_set_times("timed.txt", write, access, write));
    CHECK(!file_set_times("absent.txt", write, access, write));
}

void test_directories() {
    CHECK(dir_create("a"));
    CHECK(!dir_create("a"));
    CHECK(dir_create("a\\b"));
    write_file("a\\b\\deep.txt", "deep");
    CHECK(std::strcmp(read_file("a\\b\\deep.txt"), "deep") == 0);
    CHECK(!dir_create("absent\\x"));
}

// run_platform_test.sh plants "ab", a link to the folder "elsewhere". Once
// "a\\b" is checked a path inside it is not looked at again, but a name that
// only starts like it is.
void test_links_after_a_checked_folder() {
    write_file("a\\b\\second.txt", "second");
    CHECK(file_create_new("ab\\f.txt") == kNoFile);
    CHECK(!dir_create("ab\\sub"));
    CHECK(path_crosses_link("ab\\f.txt"));
    CHECK(!path_crosses_link("a\\b\\second.txt"));
}

void test_strings_and_process() {
    char out[512];
    CHECK(format_numbered_name(out, sizeof out, "zq", 6) && std::strcmp(out, "zq000006") == 0);
    CHECK(format_numbered_name(out, sizeof out, "d\\zq", 998) &&
          std::strcmp(out, "d\\zq000998") == 0);
    CHECK(format_numbered_name(out, sizeof out, "", 1234567) && std::strcmp(out, "1234567") == 0);
    // Exactly enough room ("zq" + 6 digits + NUL = 9), then one byte short.
    std::memset(out, 'x', sizeof out);
    CHECK(format_numbered_name(out, 9, "zq", 1) && std::strcmp(out, "zq000001") == 0);
    std::memset(out, 'x', sizeof out);
    CHECK(!format_numbered_name(out, 8, "zq", 1) && out[0] == 'x');
    // wsprintfA stops at 1024 characters; a longer result is refused up front.
    char big[1100];
    std::memset(big, 'p', 1020);
    big[1020] = '\0';
    CHECK(!format_numbered_name(out, 1 << 20, big, 0));

    CHECK(str_compare_nocase("ReadMe.TXT", "readme.txt") == 0);
    CHECK(str_compare_nocase("a", "b") != 0);
    std::strcpy(out, "dir");
    CHECK(str_append(str_copy(out, "d\\"), "x") == out && std::strcmp(out, "d\\x") == 0);
    CHECK(str_length(out) == 3);

    char path[512];
    uint32_t length = own_executable_path(path, sizeof path);
    CHECK(length > 4 && str_compare_nocase(path + length - 4, ".exe") == 0);
    CHECK(own_executable_path(path, 4) == 0);  // a cut path is refused

    auto* block = static_cast<unsigned char*>(mem_alloc(100000));
    CHECK(block != nullptr);
    bool zero = block != nullptr;
    for (int i = 0; zero && i < 100000; ++i) zero = block[i] == 0;
    CHECK(zero);
    mem_free(block);
}

// The listing's size and time: the size right-aligned in ten places, the
// time in UTC. The wide build writes sizes past 32 bits, to the last of 64.
void test_listing_line() {
    char line[64];
    format_size_and_time(line, 42, 86400 + 3723);
    CHECK(std::strcmp(line, "        42  1970-01-02 01:02:03  ") == 0);
    format_size_and_time(line, 4294967295u, 0);
    CHECK(std::strcmp(line, "4294967295  1970-01-01 00:00:00  ") == 0);
#ifdef ZQ_WIDE_FILES
    format_size_and_time(line, (uint64_t(5) << 30) + 7, 0);
    CHECK(std::strcmp(line, "5368709127  1970-01-01 00:00:00  ") == 0);
    format_size_and_time(line, UINT64_MAX, 0);
    CHECK(std::strcmp(line, "18446744073709551615  1970-01-01 00:00:00  ") == 0);
    // Past 2^32 * 10^9: the leading digits beyond 32 bits are kept.
    format_size_and_time(line, uint64_t(5000000000) * 1000000000u + 123456789u, 0);
    CHECK(std::strcmp(line, "5000000000123456789  1970-01-01 00:00:00  ") == 0);
#endif
}

// A frame well beyond one page: the probe must walk the guard pages in order.
__attribute__((noinline)) int deep_frame(int seed) {
    volatile unsigned char frame[200000];
    for (unsigned i = 0; i < sizeof frame; i += 4096)
        frame[i] = static_cast<unsigned char>(seed + i);
    frame[sizeof frame - 1] = 7;
    return frame[0] + frame[sizeof frame - 1];
}

void test_runtime_helpers() {
    char buffer[32];
    std::memset(buffer, 'z', sizeof buffer);
    std::memcpy(buffer, "abcdefghij", 10);
    CHECK(std::memcmp(buffer, "abcdefghijzz", 12) == 0);
    // Overlapping moves in both directions.
    std::memmove(buffer + 2, buffer, 8);
    CHECK(std::memcmp(buffer, "ababcdefghzz", 12) == 0);
    std::memmove(buffer, buffer + 4, 6);
    CHECK(std::memcmp(buffer, "cdefghefghzz", 12) == 0);
    CHECK(std::memcmp("a\x01", "a\xff", 2) < 0);
    CHECK(std::memcmp("b", "a", 1) > 0);

    volatile uint64_t n = 116444736000000000ull + 12345;
    volatile uint64_t d = 10000000ull;
    CHECK(n / d == 11644473600ull && n % d == 12345);
    volatile int64_t sn = -7000000000ll;
    volatile int64_t sd = 3;
    CHECK(sn / sd == -2333333333ll && sn % sd == -1);
    CHECK(deep_frame(1) == 1 + 7);

    // The inline 64-by-32 division against the runtime's general one.
    const uint64_t dividends[] = {
        0, 1, 0xFFFFFFFFull, 0x100000000ull, 0x1FFFFFFFFull, 116444736000012345ull, ~0ull};
    const uint32_t divisors[] = {1, 3, 28, 0x10000, 0x7FFFFFFF, 0x80000001u, 0xFFFFFFFFu};
    for (uint64_t dividend : dividends) {
        for (uint32_t divisor : divisors) {
            volatile uint64_t wide = divisor;
            uint32_t remainder = ~0u;
            CHECK(divide_u64_u32(dividend, divisor, &remainder) == dividend / wide);
            CHECK(remainder == dividend % wide);
            CHECK(remainder_u64_u32(dividend, divisor) == remainder);
        }
    }
}

// The semaphores keep their count in the process and call the system only
// to sleep or wake: posts made before any wait are all kept, and a thread
// that sleeps is woken by exactly one post. Two threads hand a token back and
// forth, so either one sleeps whenever it comes first; the sum tells that
// every hand-over arrived once.
struct PingPong {
    Semaphore to_worker;
    Semaphore to_main;
    uint32_t total;
};

void bounce(void* argument) {
    PingPong* game = static_cast<PingPong*>(argument);
    for (uint32_t i = 1; i <= 2000; ++i) {
        semaphore_wait(game->to_worker);
        game->total += i;
        semaphore_post(game->to_main);
    }
}

void test_semaphores() {
    Semaphore banked = semaphore_create();
    CHECK(banked != nullptr);
    for (int i = 0; i < 3; ++i) semaphore_post(banked);
    for (int i = 0; i < 3; ++i) semaphore_wait(banked);  // none of these sleeps
    semaphore_destroy(banked);

    PingPong game{semaphore_create(), semaphore_create(), 0};
    Thread worker = thread_start(bounce, &game);
    CHECK(worker != nullptr);
    if (worker == nullptr) return;
    for (uint32_t i = 1; i <= 2000; ++i) {
        semaphore_post(game.to_worker);
        semaphore_wait(game.to_main);
    }
    thread_join(worker);
    CHECK(game.total == 2000u * 2001u / 2);
    semaphore_destroy(game.to_worker);
    semaphore_destroy(game.to_main);
}

// "hold" mode, driven by run_platform_test.sh, which sends SIGINT (Wine's
// Ctrl+C) once "held" is printed. The event must wait for the release, and
// the main thread must not get past its next call of the layer after it.
void on_event(int event) {
    std::printf("handler %d\n", event);
    std::fflush(stdout);
    exit_process(5);
}

int hold_mode() {
    install_control_handler(on_event);
    control_events_hold();
    std::printf("held\n");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
        file_get_attributes(".");  // the holder itself goes on
    }
    std::printf("releasing\n");
    std::fflush(stdout);
    control_events_release();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(8)) {
        str_length("x");
    }
    std::printf("no event\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "hold") == 0) return hold_mode();
    test_runtime_helpers();
    test_exclusive_create_and_io();
    test_attributes_delete_and_move();
    test_times();
    test_directories();
    test_links_after_a_checked_folder();
    test_strings_and_process();
    test_listing_line();
    test_semaphores();
    std::printf("%d failure(s)\n", g_failures);
    return g_failures;
}
