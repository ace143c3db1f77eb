// The installer's program in the Ctrl+C test (run_ctrl_c_test.sh). It takes
// Ctrl+C as a program that cleans up does, raises it for every process on
// its console, the self-extractor that started it included, and ends with 42
// once its own handler has seen it. Other codes say what went wrong: 6 the
// parent could not be opened, 7 no handler, 8 no console to raise the event
// on, 9 the handler never saw it (as when Ctrl+C was inherited ignored).
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <cstdio>

namespace {

HANDLE seen;

BOOL WINAPI on_event(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    if (FILE* file = std::fopen("seen.txt", "ab")) {
        std::fputs("cleaned\n", file);
        std::fclose(file);
    }
    SetEvent(seen);
    return TRUE;
}

DWORD parent_id() {
    const DWORD self = GetCurrentProcessId();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
    return parent;
}

}  // namespace

int main() {
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parent_id());
    if (parent == nullptr) return 6;
    seen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!SetConsoleCtrlHandler(on_event, TRUE)) return 7;
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 8;
    if (WaitForSingleObject(seen, 30000) != WAIT_OBJECT_0) return 9;
    // The self-extractor gets the same event on a thread of its own, whenever
    // its scheduler runs it. One that the event would end is given 5 seconds
    // to do so before this status can reach it; one that waits on, as it
    // should, ends with 42 whenever the event reaches it.
    WaitForSingleObject(parent, 5000);
    return 42;
}
