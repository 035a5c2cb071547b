// answer-dialog: plays the user at the KORVAL connect dialog when nobody sits at the screen (the
// demo on a machine without a display): waits for the dialog, types the address into its
// address box and presses Enter.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr wchar_t CAPTION[] = L"KORVAL Connection Settings";
constexpr unsigned POLL_MS = 20;
constexpr unsigned MESSAGE_TIMEOUT_MS = 5000;

struct Search {
    DWORD processId; // 0: any process
    HWND found;
};

BOOL CALLBACK considerWindow(HWND window, LPARAM context) {
    auto *search = reinterpret_cast<Search *>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = L"", caption[64] = L"";
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, caption, 64);
    if ((search->processId == 0 || process == search->processId) && IsWindowVisible(window) &&
        std::wstring(className) == L"#32770" && std::wstring(caption) == CAPTION &&
        FindWindowExW(window, nullptr, L"Edit", nullptr) != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

bool waitUntilGone(HWND window, DWORD deadline) {
    while (IsWindow(window)) {
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0)
            return false;
        Sleep(POLL_MS);
    }
    return true;
}

int usage() {
    std::fputs("usage: answer-dialog ADDRESS [--timeout S] [--process PID]\n"
               "Waits up to S seconds (default 60) for the \"KORVAL Connection Settings\" dialog\n"
               "(of process PID, or of any), types ADDRESS into it and presses Enter.\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argv[1][0] == '-')
        return usage();
    const std::string address = argv[1];
    unsigned long seconds = 60, processId = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        char *end = nullptr;
        const unsigned long value = std::strtoul(argv[i + 1], &end, 10);
        if (*end != '\0' || value == 0)
            return usage();
        if (option == "--timeout" && value <= 3600)
            seconds = value;
        else if (option == "--process")
            processId = value;
        else
            return usage();
    }
    if (argc % 2 != 0)
        return usage();

    const DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    Search search{static_cast<DWORD>(processId), nullptr};
    while (EnumWindows(considerWindow, reinterpret_cast<LPARAM>(&search)), !search.found) {
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
            std::fprintf(stderr,
                         "answer-dialog: no \"KORVAL Connection Settings\" dialog within "
                         "%lu s\n",
                         seconds);
            return 1;
        }
        Sleep(POLL_MS);
    }

    const HWND dialog = search.found;
    const HWND edit = FindWindowExW(dialog, nullptr, L"Edit", nullptr);
    const std::wstring text(address.begin(), address.end());
    DWORD_PTR ignored = 0;
    // As a user: replace the text, put the focus into the box, press Enter there. The key goes
    // through the dialog's own message loop, which turns it into OK.
    SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &ignored);
    SendMessageTimeoutW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE,
                        SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &ignored);
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 1 | (0x1C << 16));
    if (!waitUntilGone(dialog, GetTickCount() + MESSAGE_TIMEOUT_MS)) {
        std::fputs("answer-dialog: the dialog did not close after Enter\n", stderr);
        return 1;
    }
    std::printf("answer-dialog: typed %s into the connect dialog and pressed Enter\n",
                address.c_str());
    return 0;
}
