// The connect dialog on Windows: a standard dialog built from an in-memory template, so it needs
// no dialog resource and works from whatever host loaded this module.
#include "ui/connect_dialog.h"
#include "ui/connect_dialog_resource.h"

#include "os/win32_text.h"

#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace Korval {

namespace {

// Control ids, in tab (template) order, and the field name each control stands for.
enum ControlId : WORD {
    ID_OK_BUTTON = IDOK,         // okButton
    ID_HOST_NAME_TEXT = 1001,    // hostNameTextBox
    ID_LABEL_ADDRESS = 1002,     // label1
    ID_LABEL_EXPLAIN = 1003,     // label2
    ID_RULE_BOTTOM = 1004,       // label3
    ID_RULE_TOP = 1005,          // label4
    ID_NODE_ID_COMBO = 1006,     // nodeIdComboBox
    ID_LABEL_NODE = 1007,        // label5
    ID_LABEL_NODE_EXPLAIN = 1008 // label6
};

constexpr int RESULT_CLOSED = 2;
constexpr int NODE_ENTRIES = 128; // "Any" and the node ids 1 to 127

// Predefined control classes as template atoms.
constexpr WORD CLASS_BUTTON = 0x0080;
constexpr WORD CLASS_EDIT = 0x0081;
constexpr WORD CLASS_STATIC = 0x0082;
constexpr WORD CLASS_COMBO_BOX = 0x0085;

// The layout is drawn in pixels for a font whose character cell is 6 x 13; dialog units make
// Windows scale it to the font it actually uses.
constexpr short dluX(int px) {
    return static_cast<short>((px * 4 + 3) / 6);
}
constexpr short dluY(int px) {
    return static_cast<short>((px * 8 * 2 + 13) / 26);
}

struct Control {
    WORD id;
    WORD windowClass;
    DWORD style;
    int x, y, width, height; // pixels at 6 x 13
    const wchar_t *text;
};

constexpr DWORD LABEL = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD RULE = WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ;
// The combo box's template height includes its dropped list: room for about a dozen entries.
constexpr int NODE_LIST_HEIGHT = 230;

const Control CONTROLS[] = {
    {ID_OK_BUTTON, CLASS_BUTTON, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 157, 133,
     75, 23, L"OK"},
    {ID_HOST_NAME_TEXT, CLASS_EDIT, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL,
     79, 80, 114, 20, L""},
    {ID_LABEL_ADDRESS, CLASS_STATIC, LABEL, 12, 83, 61, 13, L"IP Address:"},
    {ID_LABEL_EXPLAIN, CLASS_STATIC, LABEL, 12, 9, 217, 39,
     L"Please enter below IP Address or Hostname \r\nof the Brenvox KORVAL gateway you \r\nwant to "
     L"use for this Vantrel session."},
    {ID_RULE_BOTTOM, CLASS_STATIC, RULE, 10, 114, 372, 2, L""},
    {ID_RULE_TOP, CLASS_STATIC, RULE, 10, 66, 372, 2, L""},
    {ID_NODE_ID_COMBO, CLASS_COMBO_BOX,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 301, 79, 51,
     NODE_LIST_HEIGHT, L""},
    {ID_LABEL_NODE, CLASS_STATIC, LABEL, 245, 83, 50, 13, L"Node ID:"},
    {ID_LABEL_NODE_EXPLAIN, CLASS_STATIC, LABEL, 245, 9, 137, 39,
     L"You can view all CANopen \r\ndevices or limit the session \r\nto a single device."},
};

constexpr wchar_t CAPTION[] = L"KORVAL Connection Settings";
constexpr int CLIENT_WIDTH = 394;
constexpr int CLIENT_HEIGHT = 168;

class TemplateWriter {
  public:
    void word(WORD value) { words.push_back(value); }
    void dword(DWORD value) {
        word(LOWORD(value));
        word(HIWORD(value));
    }
    void text(const wchar_t *value) {
        for (; *value; ++value)
            word(static_cast<WORD>(*value));
        word(0);
    }
    // Items start on a DWORD boundary; the buffer itself is at least DWORD aligned.
    void alignToDword() {
        if (words.size() % 2)
            word(0);
    }
    const DLGTEMPLATE *data() const { return reinterpret_cast<const DLGTEMPLATE *>(words.data()); }

  private:
    std::vector<WORD> words;
};

TemplateWriter buildTemplate() {
    TemplateWriter t;
    t.dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_SETFOREGROUND);
    t.dword(0); // extended style
    t.word(static_cast<WORD>(std::size(CONTROLS)));
    t.word(0); // x, y: placed when it opens
    t.word(0);
    t.word(static_cast<WORD>(dluX(CLIENT_WIDTH)));
    t.word(static_cast<WORD>(dluY(CLIENT_HEIGHT)));
    t.word(0); // no menu
    t.word(0); // standard dialog class
    t.text(CAPTION);
    t.word(8);
    t.text(L"MS Shell Dlg");
    for (const Control &c : CONTROLS) {
        t.alignToDword();
        t.dword(c.style);
        t.dword(0);
        t.word(static_cast<WORD>(dluX(c.x)));
        t.word(static_cast<WORD>(dluY(c.y)));
        t.word(static_cast<WORD>(dluX(c.width)));
        t.word(static_cast<WORD>(dluY(c.height)));
        t.word(c.id);
        t.word(0xFFFF);
        t.word(c.windowClass);
        t.text(c.text);
        t.word(0); // no creation data
    }
    return t;
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

HMODULE thisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&thisModule), &module);
    return module;
}

HICON loadIcon(HMODULE module, int sizeMetric) {
    const int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_CONNECT_DIALOG), IMAGE_ICON,
                                         size, size, LR_DEFAULTCOLOR));
}

// Centres the dialog on its owner, or on the screen when it has none (or the owner cannot be
// seen), and keeps it inside the work area so that its caption stays reachable.
void placeDialog(HWND dialog) {
    RECT window;
    GetWindowRect(dialog, &window);
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;

    const HWND owner = GetWindow(dialog, GW_OWNER);
    const bool onOwner = owner && IsWindowVisible(owner) && !IsIconic(owner);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(onOwner ? MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST)
                            : MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY),
                    &monitor);
    const RECT area = monitor.rcWork;
    RECT centreOn = area;
    if (onOwner)
        GetWindowRect(owner, &centreOn);

    LONG x = centreOn.left + (centreOn.right - centreOn.left - width) / 2;
    LONG y = centreOn.top + (centreOn.bottom - centreOn.top - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

// Lives for one showing: what the dialog procedure needs besides the dialog object.
struct ConnectDialogWindow {
    ConnectDialog &settings;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    std::wstring shownHostName;

    void initialise(HWND dialog) {
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));

        const HWND host = GetDlgItem(dialog, ID_HOST_NAME_TEXT);
        // Any text may be typed: 0 lifts the edit control's own limit to the most it can hold.
        SendMessageW(host, EM_LIMITTEXT, 0, 0);
        shownHostName = os::widen(settings.hostName);
        SetWindowTextW(host, shownHostName.c_str());

        const HWND nodes = GetDlgItem(dialog, ID_NODE_ID_COMBO);
        SendMessageW(nodes, CB_INITSTORAGE, NODE_ENTRIES, NODE_ENTRIES * 4 * sizeof(wchar_t));
        SendMessageW(nodes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Any"));
        for (int node = 1; node < NODE_ENTRIES; ++node) {
            const std::wstring entry = std::to_wstring(node);
            SendMessageW(nodes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
        }
        const int32_t index =
            settings.nodeIndex >= 0 && settings.nodeIndex < NODE_ENTRIES ? settings.nodeIndex : 0;
        SendMessageW(nodes, CB_SETCURSEL, static_cast<WPARAM>(index), 0);

        placeDialog(dialog);
        SetFocus(GetDlgItem(dialog, ID_OK_BUTTON));
    }

    // Runs however the dialog closes, while its controls still exist.
    void keepState(HWND dialog) {
        const std::wstring text = windowText(GetDlgItem(dialog, ID_HOST_NAME_TEXT));
        // Untouched text keeps its original bytes, even ones that are not valid UTF-8.
        if (text != shownHostName)
            settings.hostName = os::narrow(text);
        const LRESULT index =
            SendMessageW(GetDlgItem(dialog, ID_NODE_ID_COMBO), CB_GETCURSEL, 0, 0);
        if (index >= 0 && index < NODE_ENTRIES)
            settings.nodeIndex = static_cast<int32_t>(index);
    }

    static INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        auto *self = reinterpret_cast<ConnectDialogWindow *>(GetWindowLongPtrW(dialog, DWLP_USER));
        switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            reinterpret_cast<ConnectDialogWindow *>(lParam)->initialise(dialog);
            return FALSE; // the focus is set: on the OK button
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                EndDialog(dialog, ConnectDialog::DIALOG_RESULT_OK);
                return TRUE;
            }
            // Escape arrives as IDCANCEL; with no Cancel button it does nothing.
            return LOWORD(wParam) == IDCANCEL;
        case WM_CLOSE:
            // The close box (and Alt+F4): handled here, before the dialog manager would turn
            // it into the IDCANCEL that Escape also sends.
            EndDialog(dialog, RESULT_CLOSED);
            return TRUE;
        case WM_DESTROY:
            if (self)
                self->keepState(dialog);
            return FALSE;
        case WM_NCDESTROY:
            SetWindowLongPtrW(dialog, DWLP_USER, 0);
            return FALSE;
        default:
            return FALSE;
        }
    }
};

ConnectDialog::ConnectDialog() : hostName(DEFAULT_GATEWAY_ADDRESS) {}

int ConnectDialog::showModal() {
    const HMODULE module = thisModule();
    ConnectDialogWindow window{
        *this, loadIcon(module, SM_CXICON), loadIcon(module, SM_CXSMICON), {}};

    const TemplateWriter dialogTemplate = buildTemplate();
    const INT_PTR result =
        DialogBoxIndirectParamW(module, dialogTemplate.data(), GetActiveWindow(),
                                &ConnectDialogWindow::procedure, reinterpret_cast<LPARAM>(&window));

    // The window is gone: nothing uses the icons any more.
    if (window.bigIcon)
        DestroyIcon(window.bigIcon);
    if (window.smallIcon)
        DestroyIcon(window.smallIcon);
    // A dialog that could not be shown returns -1: not OK either.
    return static_cast<int>(result);
}

} // namespace Korval
