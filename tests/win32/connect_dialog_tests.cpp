// The connect dialog as a user meets it: shown on the test thread, looked at and answered from
// another thread through the dialog driver. Facts are gathered on the answering thread and
// checked on the test thread.
#include "support/dialog_driver.h"
#include "support/eventually.h"
#include "ui/connect_dialog.h"
#include "ui/connect_dialog_resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace testsupport;
using Korval::ConnectDialog;

namespace {

const wchar_t EXPLANATION[] = L"Please enter below IP Address or Hostname \r\nof the Brenvox "
                              L"KORVAL gateway you \r\nwant to use for this Vantrel session.";
const wchar_t NODE_EXPLANATION[] =
    L"You can view all CANopen \r\ndevices or limit the session \r\nto a single device.";

// The labels that are drawn as rules, among label1 to label6 in template order.
constexpr int RULE_LABELS[] = {2, 3};

struct Answered {
    int result = 0;
    bool saw = false;
    bool leftOpen = false;
};

// Shows the dialog on the calling thread while answer() deals with it from another.
Answered showAnswered(ConnectDialog &dialog, std::function<void(HWND)> answer) {
    Answered answered;
    DialogAnswerer answerer(std::move(answer));
    answered.result = dialog.showModal();
    answered.saw = answerer.sawDialog();
    answered.leftOpen = answerer.hadToClose();
    return answered;
}

// The dialog appeared and the answer closed it (not the driver's safety net).
testing::AssertionResult wasAnswered(const Answered &a) {
    if (!a.saw)
        return testing::AssertionFailure() << "the dialog did not appear";
    if (a.leftOpen)
        return testing::AssertionFailure() << "the answer left the dialog open";
    return testing::AssertionSuccess();
}

LRESULT ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS,
                             &result))
        return -1;
    return static_cast<LRESULT>(result);
}

std::wstring comboEntry(HWND combo, int index) {
    wchar_t text[16] = L"";
    if (ask(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index)) >= 16)
        return L"(too long)";
    ask(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return text;
}

// The dialog font's average character cell, measured the way Windows derives dialog units.
SIZE fontCell(HWND dialog) {
    SIZE cell{};
    const auto font = reinterpret_cast<HGDIOBJ>(ask(dialog, WM_GETFONT));
    HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    SIZE extent{};
    if (font && GetTextMetricsW(dc, &metrics) &&
        GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52,
                              &extent))
        cell = {(extent.cx / 26 + 1) / 2, metrics.tmHeight};
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return cell;
}

HWND focusOf(HWND dialog) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus;
}

HWND waitForFocus(HWND dialog, HWND expected) {
    HWND focus = nullptr;
    eventually(
        [&] {
            focus = focusOf(dialog);
            return focus == expected;
        },
        3000);
    return focus;
}

// Everything the look-and-layout tests check, read while the dialog is open.
struct Snapshot {
    DialogState state;
    LONG style = 0, comboStyle = 0, editStyle = 0, editExStyle = 0;
    LONG droppedHeight = 0, itemHeight = 0;
    std::wstring lastNode;
    std::vector<std::wstring> classes, labelTexts;
    std::vector<LONG> childStyles, labelStyles;
    std::vector<RECT> rects, labelRects;
    RECT ok{}, edit{}, combo{};
    bool focusOnOk = false;
    HWND tabAfterOk = nullptr, tabAfterEdit = nullptr, tabAfterCombo = nullptr;
    HWND expectEdit = nullptr, expectCombo = nullptr, expectOk = nullptr;
    SIZE cell{};
    bool bigIcon = false, smallIcon = false;
    LONG smallIconWidth = 0;
};

Snapshot snapshot(HWND dialog) {
    Snapshot s;
    const DialogControls c = findControls(dialog);
    s.state = readDialog(dialog);
    s.style = GetWindowLongW(dialog, GWL_STYLE);
    for (HWND child : c.all) {
        s.classes.push_back(className(child));
        s.childStyles.push_back(GetWindowLongW(child, GWL_STYLE));
        s.rects.push_back(childRect(child));
    }
    for (HWND label : c.labels) {
        s.labelTexts.push_back(windowText(label));
        s.labelStyles.push_back(GetWindowLongW(label, GWL_STYLE));
        s.labelRects.push_back(childRect(label));
    }
    if (!c.ok || !c.edit || !c.combo)
        return s;
    s.comboStyle = GetWindowLongW(c.combo, GWL_STYLE);
    s.editStyle = GetWindowLongW(c.edit, GWL_STYLE);
    s.editExStyle = GetWindowLongW(c.edit, GWL_EXSTYLE);
    RECT dropped{};
    ask(c.combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
    s.droppedHeight = dropped.bottom - dropped.top;
    s.itemHeight = static_cast<LONG>(ask(c.combo, CB_GETITEMHEIGHT, 0));
    s.lastNode = comboEntry(c.combo, 127);
    s.ok = childRect(c.ok);
    s.edit = childRect(c.edit);
    s.combo = childRect(c.combo);
    s.focusOnOk = waitForFocus(dialog, c.ok) == c.ok;
    s.tabAfterOk = GetNextDlgTabItem(dialog, c.ok, FALSE);
    s.tabAfterEdit = GetNextDlgTabItem(dialog, c.edit, FALSE);
    s.tabAfterCombo = GetNextDlgTabItem(dialog, c.combo, FALSE);
    s.expectOk = c.ok;
    s.expectEdit = c.edit;
    s.expectCombo = c.combo;
    s.cell = fontCell(dialog);
    const auto big = reinterpret_cast<HICON>(ask(dialog, WM_GETICON, ICON_BIG));
    const auto small = reinterpret_cast<HICON>(ask(dialog, WM_GETICON, ICON_SMALL));
    s.bigIcon = big != nullptr;
    s.smallIcon = small != nullptr;
    ICONINFO info{};
    if (small && GetIconInfo(small, &info)) {
        BITMAP bitmap{};
        GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
        s.smallIconWidth = bitmap.bmWidth;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    return s;
}

Snapshot showForSnapshot() {
    ConnectDialog dialog;
    Snapshot s;
    const Answered answered = showAnswered(dialog, [&](HWND d) {
        s = snapshot(d);
        closeWithCloseBox(d);
    });
    EXPECT_TRUE(wasAnswered(answered));
    return s;
}

int centreX(const RECT &r) {
    return (r.left + r.right) / 2;
}
int centreY(const RECT &r) {
    return (r.top + r.bottom) / 2;
}

TEST(ConnectDialogLook, NewDialogShowsDefaultsExactTextsAndTabOrder) {
    const Snapshot s = showForSnapshot();
    EXPECT_EQ(s.state.caption, L"KORVAL Connection Settings");
    EXPECT_EQ(s.state.hostText, L"169.254.100.1");
    EXPECT_EQ(s.state.nodeIndex, 0);
    EXPECT_EQ(s.state.nodeText, L"Any");
    EXPECT_EQ(s.state.nodeCount, 128);
    EXPECT_EQ(s.lastNode, L"127");
    EXPECT_TRUE(s.state.okIsDefault);
    EXPECT_TRUE(s.focusOnOk) << "the dialog must open with the focus on OK";

    const std::vector<std::wstring> classes{L"Button", L"Edit",     L"Static", L"Static", L"Static",
                                            L"Static", L"ComboBox", L"Static", L"Static"};
    ASSERT_EQ(s.classes, classes) << "controls or their order changed";
    const std::vector<std::wstring> texts{L"IP Address:", EXPLANATION,     L"", L"",
                                          L"Node ID:",    NODE_EXPLANATION};
    EXPECT_EQ(s.labelTexts, texts);
    for (size_t i = 0; i < s.childStyles.size(); ++i) {
        const bool takesFocus = s.classes[i] != L"Static";
        EXPECT_EQ((s.childStyles[i] & WS_TABSTOP) != 0, takesFocus) << "control " << i;
    }
    EXPECT_EQ(s.tabAfterOk, s.expectEdit);
    EXPECT_EQ(s.tabAfterEdit, s.expectCombo);
    EXPECT_EQ(s.tabAfterCombo, s.expectOk);

    // A fixed frame with a close box only.
    EXPECT_EQ(s.style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    EXPECT_EQ(s.style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_EQ(s.comboStyle & 3, CBS_DROPDOWNLIST) << "the node list must take no typed text";
    EXPECT_GE(s.droppedHeight, 10 * s.itemHeight) << "the dropped node list shows few entries";
    EXPECT_TRUE(s.editStyle & ES_AUTOHSCROLL);
    // Dialogs turn an edit box's flat border into a sunken edge.
    EXPECT_TRUE((s.editStyle & WS_BORDER) || (s.editExStyle & WS_EX_CLIENTEDGE));
    EXPECT_EQ(s.editStyle & ES_MULTILINE, 0);
}

TEST(ConnectDialogLook, ControlsKeepTheirRowsAndColumnsWithoutOverlap) {
    const Snapshot s = showForSnapshot();
    ASSERT_GT(s.cell.cx, 0);
    ASSERT_GT(s.cell.cy, 0);
    ASSERT_EQ(s.labelRects.size(), 6u);

    for (int rule : RULE_LABELS) {
        const RECT &r = s.labelRects[static_cast<size_t>(rule)];
        EXPECT_GT(r.bottom - r.top, 0);
        EXPECT_LE(r.bottom - r.top, MulDiv(3, s.cell.cy, 13) + 1) << "label" << rule + 1;
        const LONG kind = s.labelStyles[static_cast<size_t>(rule)] & SS_TYPEMASK;
        EXPECT_TRUE(kind == SS_ETCHEDHORZ || (s.labelStyles[static_cast<size_t>(rule)] & SS_SUNKEN))
            << "label" << rule + 1 << " must be drawn as a sunken rule";
    }

    for (size_t i = 0; i < s.rects.size(); ++i)
        for (size_t j = i + 1; j < s.rects.size(); ++j) {
            RECT overlap;
            EXPECT_FALSE(IntersectRect(&overlap, &s.rects[i], &s.rects[j]))
                << "controls " << i << " and " << j << " overlap";
        }

    // The explanations share the top row, the address and node fields the middle one, OK sits
    // below both rules in the middle.
    const RECT &addressLabel = s.labelRects[0], &explanation = s.labelRects[1];
    const RECT &bottomRule = s.labelRects[2], &topRule = s.labelRects[3];
    const RECT &nodeLabel = s.labelRects[4], &nodeExplanation = s.labelRects[5];
    EXPECT_LT(explanation.right, nodeExplanation.left);
    EXPECT_LT(explanation.bottom, topRule.top);
    EXPECT_LT(topRule.bottom, s.edit.top);
    for (const RECT *r : {&addressLabel, &nodeLabel, &s.combo})
        EXPECT_NEAR(centreY(*r), centreY(s.edit), 3);
    EXPECT_LT(addressLabel.right, s.edit.left);
    EXPECT_LT(s.edit.right, nodeLabel.left);
    EXPECT_LT(nodeLabel.right, s.combo.left);
    EXPECT_LT(s.combo.bottom, bottomRule.top);
    EXPECT_LT(bottomRule.bottom, s.ok.top);
    EXPECT_NEAR(centreX(s.ok), s.state.client.right / 2, s.cell.cx);
}

TEST(ConnectDialogLook, WindowShowsTheIcon) {
    const Snapshot s = showForSnapshot();
    EXPECT_TRUE(s.bigIcon);
    EXPECT_TRUE(s.smallIcon);
    EXPECT_EQ(s.smallIconWidth, GetSystemMetrics(SM_CXSMICON));
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(ConnectDialogIcon, ResourceHoldsFourTrueColourImagesWithAlpha) {
    // The icon is linked into the module that contains the dialog: this program.
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDI_CONNECT_DIALOG), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto *header = static_cast<const WORD *>(LockResource(LoadResource(module, group)));
    ASSERT_NE(header, nullptr);
    ASSERT_EQ(header[1], 1) << "not an icon";
    ASSERT_EQ(header[2], 4) << "image count";
    const auto *entries = reinterpret_cast<const GroupIconEntry *>(header + 3);
    const int sizes[] = {16, 32, 64, 128};
    for (int i = 0; i < 4; ++i) {
        const GroupIconEntry &e = entries[i];
        const int size = sizes[i];
        EXPECT_EQ(e.width, size);
        EXPECT_EQ(e.height, size);
        EXPECT_EQ(e.bitCount, 32);
        const HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(e.id), RT_ICON);
        ASSERT_NE(image, nullptr) << size;
        ASSERT_GE(SizeofResource(module, image), sizeof(BITMAPINFOHEADER) + 4u * size * size);
        const auto *dib =
            static_cast<const BITMAPINFOHEADER *>(LockResource(LoadResource(module, image)));
        ASSERT_NE(dib, nullptr);
        EXPECT_EQ(dib->biWidth, size);
        EXPECT_EQ(dib->biHeight, 2 * size) << "colour and mask rows";
        EXPECT_EQ(dib->biBitCount, 32);
        // Rows run bottom-up: the last one is the top. A rounded corner is clear, the middle
        // opaque.
        const auto *pixels = reinterpret_cast<const BYTE *>(dib + 1);
        const size_t topLeft = static_cast<size_t>(size - 1) * size * 4;
        const size_t middle = (static_cast<size_t>(size / 2) * size + size / 2) * 4;
        EXPECT_EQ(pixels[topLeft + 3], 0) << size;
        EXPECT_EQ(pixels[middle + 3], 255) << size;
    }
}

TEST(ConnectDialogClosing, EnterReturnsOkWithTheTypedTextAndNode) {
    ConnectDialog dialog;
    bool closed = false;
    const Answered answered = showAnswered(dialog, [&](HWND d) {
        setHostText(d, L"any text, not checked: gw-7.local");
        selectNode(d, 5);
        closed = pressEnter(d);
    });
    EXPECT_TRUE(wasAnswered(answered));
    EXPECT_TRUE(closed);
    EXPECT_EQ(answered.result, ConnectDialog::DIALOG_RESULT_OK);
    EXPECT_EQ(dialog.hostNameText(), "any text, not checked: gw-7.local");
    EXPECT_EQ(dialog.nodeIdSelectedIndex(), 5);
}

TEST(ConnectDialogClosing, EscapeDoesNothingAndTheAddressTakesAnyLength) {
    ConnectDialog dialog;
    const std::wstring longName = L"gateway-" + std::wstring(400, L'k') + L".example";
    bool typed = false, stayed = false, closed = false;
    const Answered answered = showAnswered(dialog, [&](HWND d) {
        pressEscape(d);
        // Typed after the Escape key: once it shows, the key has been handled.
        typed = typeIntoAddress(d, longName);
        stayed = IsWindowVisible(d) != FALSE;
        closed = pressEnter(d);
    });
    EXPECT_TRUE(wasAnswered(answered));
    EXPECT_TRUE(typed) << "the address box did not take all " << longName.size() << " characters";
    EXPECT_TRUE(stayed) << "Escape closed the dialog, which has no Cancel button";
    EXPECT_TRUE(closed);
    EXPECT_EQ(answered.result, ConnectDialog::DIALOG_RESULT_OK);
    EXPECT_EQ(dialog.hostNameText(), std::string(longName.begin(), longName.end()));
}

TEST(ConnectDialogClosing, CloseBoxAndWmCloseAreNotOkButKeepTheState) {
    const struct {
        const char *name;
        std::function<bool(HWND)> close;
    } ways[] = {
        {"close box", closeWithCloseBox},
        {"WM_CLOSE", [](HWND d) { return PostMessageW(d, WM_CLOSE, 0, 0) && waitUntilClosed(d); }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        ConnectDialog dialog;
        bool closed = false;
        const Answered answered = showAnswered(dialog, [&](HWND d) {
            setHostText(d, L"10.1.2.3");
            selectNode(d, 99);
            closed = way.close(d);
        });
        EXPECT_TRUE(wasAnswered(answered));
        EXPECT_TRUE(closed);
        EXPECT_NE(answered.result, ConnectDialog::DIALOG_RESULT_OK);
        EXPECT_EQ(dialog.hostNameText(), "10.1.2.3");
        EXPECT_EQ(dialog.nodeIdSelectedIndex(), 99);
    }
}

TEST(ConnectDialogNodeList, TakesNoTypedTextAndOffersNode127) {
    ConnectDialog dialog;
    LRESULT afterTyping = -2, afterChoosing = -2;
    std::wstring chosenText;
    const Answered answered = showAnswered(dialog, [&](HWND d) {
        const HWND combo = findControls(d).combo;
        ask(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"55"));
        afterTyping = ask(combo, CB_GETCURSEL);
        selectNode(d, 127);
        afterChoosing = ask(combo, CB_GETCURSEL);
        chosenText = readDialog(d).nodeText;
        pressEnter(d);
    });
    EXPECT_TRUE(wasAnswered(answered));
    EXPECT_EQ(afterTyping, 0) << "text set on the node list changed its choice";
    EXPECT_EQ(afterChoosing, 127);
    EXPECT_EQ(chosenText, L"127");
    EXPECT_EQ(answered.result, ConnectDialog::DIALOG_RESULT_OK);
    EXPECT_EQ(dialog.nodeIdSelectedIndex(), 127);
}

TEST(ConnectDialogState, EachShowingStartsWhereTheLastEndedOnAnyThread) {
    ConnectDialog dialog;
    const Answered first = showAnswered(dialog, [](HWND d) {
        setHostText(d, L"gateway-a");
        selectNode(d, 42);
        pressEnter(d);
    });
    EXPECT_TRUE(wasAnswered(first));

    // The next showing runs on a thread of its own and is closed without OK.
    DialogState second;
    Answered secondAnswered;
    std::thread([&] {
        secondAnswered = showAnswered(dialog, [&](HWND d) {
            second = readDialog(d);
            setHostText(d, L"gateway-b");
            closeWithCloseBox(d);
        });
    }).join();
    EXPECT_TRUE(wasAnswered(secondAnswered));
    EXPECT_EQ(second.hostText, L"gateway-a");
    EXPECT_EQ(second.nodeIndex, 42);
    EXPECT_EQ(second.nodeText, L"42");

    DialogState third;
    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [&](HWND d) {
        third = readDialog(d);
        closeWithCloseBox(d);
    })));
    EXPECT_EQ(third.hostText, L"gateway-b");
    EXPECT_EQ(third.nodeIndex, 42);

    dialog.setHostNameText("set-by-code.example");
    DialogState fourth;
    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [&](HWND d) {
        fourth = readDialog(d);
        pressEnter(d);
    })));
    EXPECT_EQ(fourth.hostText, L"set-by-code.example");
    EXPECT_EQ(dialog.hostNameText(), "set-by-code.example");
}

TEST(ConnectDialogState, TextCrossesAsUtf8WithoutLoss) {
    ConnectDialog dialog;
    dialog.setHostNameText(u8"gatewäy-Ω.local");
    DialogState shown;
    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [&](HWND d) {
        shown = readDialog(d);
        setHostText(d, L"knoten-\u00df-\u6f22");
        pressEnter(d);
    })));
    EXPECT_EQ(shown.hostText, L"gatew\u00e4y-\u03a9.local");
    EXPECT_EQ(dialog.hostNameText(), u8"knoten-ß-漢");

    // Longer than what may be typed: loaded text is shown and kept whole.
    const std::string longText(300, 'x');
    dialog.setHostNameText(longText);
    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [&](HWND d) {
        shown = readDialog(d);
        closeWithCloseBox(d);
    })));
    EXPECT_EQ(shown.hostText.size(), 300u);
    EXPECT_EQ(dialog.hostNameText(), longText);

    // Bytes that are not UTF-8 survive a showing in which nobody touched them.
    const std::string notUtf8 = "gw\xff\xfe";
    dialog.setHostNameText(notUtf8);
    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [](HWND d) { pressEnter(d); })));
    EXPECT_EQ(dialog.hostNameText(), notUtf8);

    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [](HWND d) {
        setHostText(d, L"");
        pressEnter(d);
    })));
    EXPECT_EQ(dialog.hostNameText(), "");
}

LRESULT CALLBACK ownerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

bool pumpUntil(const std::function<bool()> &condition) {
    return eventually(
        [&condition] {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            return condition();
        },
        5000);
}

struct Placement {
    RECT window{};
    HWND owner = nullptr;
    bool ownerEnabled = true;
};

Placement showForPlacement(ConnectDialog &dialog) {
    Placement p;
    EXPECT_TRUE(wasAnswered(showAnswered(dialog, [&](HWND d) {
        GetWindowRect(d, &p.window);
        p.owner = GetWindow(d, GW_OWNER);
        p.ownerEnabled = p.owner && IsWindowEnabled(p.owner);
        closeWithCloseBox(d);
    })));
    return p;
}

TEST(ConnectDialogPlacement, CentredOnTheActiveWindowWhichWaitsMeanwhile) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ownerProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ConnectDialogTestOwner";
    RegisterClassW(&windowClass);
    const HWND owner = CreateWindowExW(0, windowClass.lpszClassName, L"Host window",
                                       WS_OVERLAPPEDWINDOW | WS_VISIBLE, 130, 110, 760, 560,
                                       nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(owner, nullptr);
    SetForegroundWindow(owner);
    SetActiveWindow(owner);
    ASSERT_TRUE(pumpUntil([&] { return GetActiveWindow() == owner; }));

    ConnectDialog dialog;
    const Placement p = showForPlacement(dialog);
    RECT ownerRect;
    GetWindowRect(owner, &ownerRect);
    EXPECT_EQ(p.owner, owner);
    EXPECT_FALSE(p.ownerEnabled) << "the host window must wait while the dialog is open";
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_NEAR(centreX(p.window), centreX(ownerRect), 2);
    EXPECT_NEAR(centreY(p.window), centreY(ownerRect), 2);
    DestroyWindow(owner);
}

TEST(ConnectDialogPlacement, CentredOnTheScreenWithoutAnActiveWindow) {
    ASSERT_TRUE(pumpUntil([] { return GetActiveWindow() == nullptr; }));
    ConnectDialog dialog;
    const Placement p = showForPlacement(dialog);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(p.owner, nullptr);
    EXPECT_NEAR(centreX(p.window), centreX(work), 2);
    EXPECT_NEAR(centreY(p.window), centreY(work), 2);
}

} // namespace
