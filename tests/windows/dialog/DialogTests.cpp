// The main dialog and the About box, run modally inside this program under
// Wine (or Windows). Each scenario is a list of steps that a thread timer
// runs inside whatever modal loop is current; hooks record what the dialogs
// were sent. A step that waits too long ends every dialog and fails, so a
// broken build cannot hang the run.
#include "shell/AboutBox.h"
#include "shell/TailsnipDialog.h"
#include "tests/windows/wine_test.h"

#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kStepTimeoutMs = 10000;
constexpr UINT kTickMs = 10;
constexpr const char kTestProgramName[] = "tailsnip_dialog_tests";

// What the hooks saw while a dialog ran.
struct Observed {
  HWND mainDialog = nullptr;
  std::vector<HWND> dialogs;                      // every dialog initialised, main dialog first
  std::vector<std::pair<WPARAM, LPARAM>> setIcon; // to the main dialog
  std::vector<std::pair<WPARAM, LPARAM>> iconEraseBkgnd; // to the main dialog
};
Observed observed;

LRESULT CALLBACK RecordSentMessage(int code, WPARAM wParam, LPARAM lParam) {
  const auto *sent = reinterpret_cast<const CWPSTRUCT *>(lParam);
  if (code == HC_ACTION) {
    if (sent->message == WM_INITDIALOG) {
      if (observed.mainDialog == nullptr)
        observed.mainDialog = sent->hwnd;
      observed.dialogs.push_back(sent->hwnd);
    } else if (sent->hwnd == observed.mainDialog) {
      if (sent->message == WM_SETICON)
        observed.setIcon.emplace_back(sent->wParam, sent->lParam);
      if (sent->message == WM_ICONERASEBKGND)
        observed.iconEraseBkgnd.emplace_back(sent->wParam, sent->lParam);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// One step of a scenario. It returns false to be called again on the next
// tick: that is how a step waits.
struct Step {
  const char *name;
  std::function<bool()> run;
};

struct Runner {
  std::vector<Step> steps;
  size_t next = 0;
  DWORD stepStarted = 0;
  bool inStep = false;
  bool abandoned = false;
};
Runner runner;

BOOL CALLBACK EndDialogWindow(HWND window, LPARAM) {
  char className[16] = {};
  GetClassNameA(window, className, sizeof className);
  if (std::strcmp(className, "#32770") == 0)
    EndDialog(window, -1);
  return TRUE;
}

// The failsafe: ends every dialog of this thread, innermost included.
void Abandon() {
  runner.abandoned = true;
  EnumThreadWindows(GetCurrentThreadId(), EndDialogWindow, 0);
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  // A step that opens a modal loop must post, not send; a tick arriving
  // from inside such a loop would otherwise re-enter the step.
  if (runner.inStep || runner.abandoned)
    return;
  runner.inStep = true;
  bool timedOut = GetTickCount() - runner.stepStarted > kStepTimeoutMs;
  if (runner.next == runner.steps.size()) {
    if (timedOut) {
      ok(false, "expected the dialog to end after the last step\n");
      Abandon();
    }
  } else if (runner.steps[runner.next].run()) {
    ++runner.next;
    runner.stepStarted = GetTickCount();
  } else if (timedOut) {
    ok(false, "step \"%s\" timed out\n", runner.steps[runner.next].name);
    Abandon();
  }
  runner.inStep = false;
}

// Runs `dialog` modally as the application's main window while the steps
// drive it; returns DoModal's result.
INT_PTR RunDialog(CDialog &dialog, std::vector<Step> steps) {
  observed = Observed{};
  runner = Runner{};
  runner.steps = std::move(steps);
  runner.stepStarted = GetTickCount();

  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, RecordSentMessage, nullptr, GetCurrentThreadId());
  UINT_PTR timer = SetTimer(nullptr, 0, kTickMs, Tick);
  AfxGetApp()->m_pMainWnd = &dialog;
  INT_PTR result = dialog.DoModal();
  AfxGetApp()->m_pMainWnd = nullptr;
  KillTimer(nullptr, timer);
  UnhookWindowsHookEx(hook);

  ok(runner.next == runner.steps.size(),
     "expected all %u steps to run, stopped at step %u \"%s\"\n",
     static_cast<unsigned>(runner.steps.size()), static_cast<unsigned>(runner.next + 1),
     runner.next < runner.steps.size() ? runner.steps[runner.next].name : "");
  return result;
}

HWND MainDialog() { return observed.mainDialog; }

// The newest dialog other than the main one that is still open, if any.
HWND OtherDialog() {
  for (auto it = observed.dialogs.rbegin(); it != observed.dialogs.rend(); ++it)
    if (*it != observed.mainDialog && IsWindow(*it))
      return *it;
  return nullptr;
}

std::string WindowText(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

HICON ProgramIcon() {
  return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

Step WaitForMainDialog() {
  return {"wait for the main dialog",
          [] { return MainDialog() != nullptr && IsWindowVisible(MainDialog()); }};
}

Step Post(const char *name, std::function<HWND()> target, UINT message, WPARAM wParam,
          LPARAM lParam) {
  return {name, [=] {
            PostMessageA(target(), message, wParam, lParam);
            return true;
          }};
}

Step CloseMainDialog() {
  return Post("close the main dialog", MainDialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

// --- The centred icon -------------------------------------------------------

void TestCenteredIconOrigin() {
  struct Case {
    RECT client;
    int iconSize;
    POINT expected;
  };
  const Case cases[] = {
      {{0, 0, 100, 60}, 32, {34, 14}},
      {{0, 0, 101, 61}, 32, {35, 15}},   // the odd pixel goes right and down
      {{10, 20, 110, 80}, 32, {34, 14}}, // only the size counts
      {{0, 0, 32, 32}, 32, {0, 0}},
      {{0, 0, 17, 17}, 16, {1, 1}},
      // Smaller than the icon: the division rounds toward zero.
      {{0, 0, 20, 10}, 32, {-5, -10}},
      {{0, 0, 0, 0}, 32, {-15, -15}},
  };
  for (const Case &c : cases) {
    POINT origin = CenteredIconOrigin(c.client, c.iconSize, c.iconSize);
    ok(origin.x == c.expected.x && origin.y == c.expected.y,
       "client %ldx%ld, icon %d: expected (%ld, %ld), got (%ld, %ld)\n",
       c.client.right - c.client.left, c.client.bottom - c.client.top, c.iconSize, c.expected.x,
       c.expected.y, origin.x, origin.y);
  }
}

// --- Message maps -------------------------------------------------------------

void TestMessageMaps() {
  struct Expected {
    UINT message, code, id;
  };
  const Expected expected[] = {
      {WM_SYSCOMMAND, 0, 0},
      {WM_PAINT, 0, 0},
      {WM_QUERYDRAGICON, 0, 0},
      {WM_COMMAND, BN_CLICKED, IDC_OPEN},
  };
  const AFX_MSGMAP *map = CTailsnipDialog::GetThisMessageMap();
  const AFX_MSGMAP_ENTRY *entry = map->lpEntries;
  for (const Expected &e : expected) {
    ok(entry->pfnCall != nullptr && entry->nMessage == e.message && entry->nCode == e.code &&
           entry->nID == e.id,
       "main dialog map: expected message 0x%04x code %u id %u, got 0x%04x code %u id %u\n",
       e.message, e.code, e.id, entry->nMessage, entry->nCode, entry->nID);
    if (entry->pfnCall == nullptr)
      break;
    ++entry;
  }
  ok(entry->pfnCall == nullptr, "main dialog map: expected 4 entries, got more (0x%04x next)\n",
     entry->nMessage);
  ok(map->pfnGetBaseMap == &CDialog::GetThisMessageMap,
     "main dialog map: expected CDialog's map as its base\n");

  const AFX_MSGMAP *aboutMap = CAboutBox::GetThisMessageMap();
  ok(aboutMap->lpEntries[0].pfnCall == nullptr,
     "About box map: expected no entries, got message 0x%04x\n", aboutMap->lpEntries[0].nMessage);
  ok(aboutMap->pfnGetBaseMap == &CDialog::GetThisMessageMap,
     "About box map: expected CDialog's map as its base\n");
}

// --- The main dialog's start, icons and system menu ---------------------------

void CheckSetIconCalls(const char *when) {
  HICON icon = ProgramIcon();
  ok(observed.setIcon.size() == 2, "%s: expected 2 WM_SETICON, got %u\n", when,
     static_cast<unsigned>(observed.setIcon.size()));
  if (observed.setIcon.size() != 2)
    return;
  ok(observed.setIcon[0].first == ICON_BIG && observed.setIcon[1].first == ICON_SMALL,
     "%s: expected ICON_BIG then ICON_SMALL, got %u then %u\n", when,
     static_cast<unsigned>(observed.setIcon[0].first),
     static_cast<unsigned>(observed.setIcon[1].first));
  for (const auto &call : observed.setIcon)
    ok(reinterpret_cast<HICON>(call.second) == icon, "%s: expected icon %p, got %p\n", when,
       static_cast<void *>(icon), reinterpret_cast<void *>(call.second));
}

void CheckIcons() {
  HICON icon = ProgramIcon();
  ok(icon != nullptr, "expected icon group %d among the resources\n", IDR_MAINFRAME);
  CheckSetIconCalls("start");

  HWND main = MainDialog();
  auto big = reinterpret_cast<HICON>(SendMessageA(main, WM_GETICON, ICON_BIG, 0));
  auto small = reinterpret_cast<HICON>(SendMessageA(main, WM_GETICON, ICON_SMALL, 0));
  ok(big == icon, "WM_GETICON big: expected %p, got %p\n", static_cast<void *>(icon),
     static_cast<void *>(big));
  ok(small == icon, "WM_GETICON small: expected %p, got %p\n", static_cast<void *>(icon),
     static_cast<void *>(small));

  auto dragged = reinterpret_cast<HICON>(SendMessageA(main, WM_QUERYDRAGICON, 0, 0));
  ok(dragged == icon, "WM_QUERYDRAGICON: expected %p, got %p\n", static_cast<void *>(icon),
     static_cast<void *>(dragged));
}

void CheckSystemMenuEndsWithAbout() {
  HMENU menu = GetSystemMenu(MainDialog(), FALSE);
  ok(menu != nullptr, "expected a system menu\n");
  int count = GetMenuItemCount(menu);
  ok(count >= 2, "expected at least 2 system menu items, got %d\n", count);
  if (menu == nullptr || count < 2)
    return;

  MENUITEMINFOA separator = {};
  separator.cbSize = sizeof separator;
  separator.fMask = MIIM_FTYPE;
  GetMenuItemInfoA(menu, count - 2, TRUE, &separator);
  ok(separator.fType & MFT_SEPARATOR, "item %d: expected a separator, got type 0x%x\n", count - 2,
     separator.fType);

  char text[64] = {};
  MENUITEMINFOA about = {};
  about.cbSize = sizeof about;
  about.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
  about.dwTypeData = text;
  about.cch = sizeof text;
  GetMenuItemInfoA(menu, count - 1, TRUE, &about);
  ok(about.wID == IDM_ABOUTBOX, "last item: expected command 16, got %u\n", about.wID);
  ok(std::strcmp(text, "&About Tailsnip...") == 0,
     "last item: expected \"&About Tailsnip...\", got \"%s\"\n", text);
  ok(!(about.fType & (MFT_SEPARATOR | MFT_BITMAP)),
     "last item: expected a text item, got type 0x%x\n", about.fType);
}

int HelpCommandsSeenByApp();

// Commands the dialog does not handle go on to the application's map.
void CheckCommandRouting() {
  int before = HelpCommandsSeenByApp();
  SendMessageA(MainDialog(), WM_COMMAND, MAKEWPARAM(ID_HELP, CN_COMMAND), 0);
  ok(HelpCommandsSeenByApp() == before + 1,
     "ID_HELP: expected 1 call of the app's handler, got %d\n", HelpCommandsSeenByApp() - before);
  ok(IsWindowVisible(MainDialog()), "ID_HELP: expected the main dialog still open\n");
}

void TestMainDialogStart() {
  CTailsnipDialog dialog;
  INT_PTR result =
      RunDialog(dialog, {WaitForMainDialog(),
                         {"check icons, focus and system menu",
                          [] {
                            CheckIcons();
                            HWND open = GetDlgItem(MainDialog(), IDC_OPEN);
                            ok(GetFocus() == open, "focus: expected the Open button %p, got %p\n",
                               static_cast<void *>(open), static_cast<void *>(GetFocus()));
                            CheckSystemMenuEndsWithAbout();
                            CheckCommandRouting();
                            return true;
                          }},
                         CloseMainDialog()});
  ok(result == IDCANCEL, "closing: expected DoModal to give IDCANCEL, got %d\n",
     static_cast<int>(result));
}

// --- Minimised: the icon is painted by the dialog ------------------------------

void TestMinimisedPainting() {
  CTailsnipDialog dialog;
  RunDialog(
      dialog,
      {WaitForMainDialog(),
       Post("minimise", MainDialog, WM_SYSCOMMAND, SC_MINIMIZE, 0),
       {"wait until minimised", [] { return IsIconic(MainDialog()) != FALSE; }},
       {"paint while minimised",
        [] {
          // A minimised window lies off-screen with an empty client area,
          // so nothing invalidates it: send the paint message directly.
          observed.iconEraseBkgnd.clear();
          SendMessageA(MainDialog(), WM_PAINT, 0, 0);
          ok(observed.iconEraseBkgnd.size() == 1,
             "minimised paint: expected 1 WM_ICONERASEBKGND, got %u\n",
             static_cast<unsigned>(observed.iconEraseBkgnd.size()));
          if (!observed.iconEraseBkgnd.empty()) {
            auto [dc, second] = observed.iconEraseBkgnd[0];
            ok(dc != 0, "WM_ICONERASEBKGND: expected the paint DC, got 0\n");
            ok(second == 0, "WM_ICONERASEBKGND: expected 0, got %ld\n", static_cast<long>(second));
          }
          ok(OtherDialog() == nullptr, "SC_MINIMIZE: expected no About box, got %p\n",
             static_cast<void *>(OtherDialog()));
          return true;
        }},
       Post("restore", MainDialog, WM_SYSCOMMAND, SC_RESTORE, 0),
       {"paint when restored",
        [] {
          if (IsIconic(MainDialog()))
            return false;
          // The dialog manager paints now; had the dialog claimed the
          // message, the window would stay invalid.
          observed.iconEraseBkgnd.clear();
          InvalidateRect(MainDialog(), nullptr, TRUE);
          SendMessageA(MainDialog(), WM_PAINT, 0, 0);
          ok(observed.iconEraseBkgnd.empty(),
             "restored paint: expected no WM_ICONERASEBKGND, got %u\n",
             static_cast<unsigned>(observed.iconEraseBkgnd.size()));
          RECT update;
          ok(!GetUpdateRect(MainDialog(), &update, FALSE),
             "restored paint: expected the window validated, update rect (%ld, %ld)-(%ld, %ld)\n",
             update.left, update.top, update.right, update.bottom);
          return true;
        }},
       CloseMainDialog()});
}

// --- The About box ---------------------------------------------------------------

// Opens the About box with system command `command`, checks it and ends it
// with the message that `closeAbout` posts.
void AddAboutRound(std::vector<Step> &steps, WPARAM command,
                   std::function<void(HWND about)> closeAbout) {
  auto about = std::make_shared<HWND>(nullptr);
  steps.push_back(Post("open the About box", MainDialog, WM_SYSCOMMAND, command, 0));
  steps.push_back(
      {"wait for the About box", [=] {
         *about = OtherDialog();
         if (*about == nullptr || !IsWindowVisible(*about))
           return false;
         std::string caption = WindowText(*about);
         ok(caption == "About Tailsnip", "command 0x%x: expected \"About Tailsnip\", got \"%s\"\n",
            static_cast<unsigned>(command), caption.c_str());
         HWND owner = GetWindow(*about, GW_OWNER);
         ok(owner == MainDialog(), "command 0x%x: expected the main dialog %p as owner, got %p\n",
            static_cast<unsigned>(command), static_cast<void *>(MainDialog()),
            static_cast<void *>(owner));
         ok(!IsWindowEnabled(MainDialog()),
            "command 0x%x: expected the main dialog disabled while the box is open\n",
            static_cast<unsigned>(command));
         closeAbout(*about);
         return true;
       }});
  steps.push_back({"wait for the About box to end", [=] {
                     if (IsWindow(*about))
                       return false;
                     ok(IsWindowEnabled(MainDialog()),
                        "command 0x%x: expected the main dialog enabled again\n",
                        static_cast<unsigned>(command));
                     return true;
                   }});
}

void TestAboutBox() {
  std::vector<Step> steps = {WaitForMainDialog()};
  AddAboutRound(steps, IDM_ABOUTBOX,
                [](HWND about) { PostMessageA(GetDlgItem(about, IDOK), BM_CLICK, 0, 0); });
  AddAboutRound(steps, 0x1F, [](HWND) {
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(GetFocus(), WM_KEYUP, VK_ESCAPE, 0);
  });
  AddAboutRound(steps, IDM_ABOUTBOX,
                [](HWND about) { PostMessageA(about, WM_SYSCOMMAND, SC_CLOSE, 0); });
  steps.push_back({"check the main dialog still answers", [] {
                     ok(observed.dialogs.size() == 4,
                        "expected 3 About boxes after the main dialog, got %u dialogs\n",
                        static_cast<unsigned>(observed.dialogs.size()));
                     auto icon = reinterpret_cast<HICON>(
                         SendMessageA(MainDialog(), WM_QUERYDRAGICON, 0, 0));
                     ok(icon == ProgramIcon(), "after the About box: expected the icon, got %p\n",
                        static_cast<void *>(icon));
                     return true;
                   }});
  steps.push_back(CloseMainDialog());

  CTailsnipDialog dialog;
  INT_PTR result = RunDialog(dialog, std::move(steps));
  ok(result == IDCANCEL, "expected SC_CLOSE to end the dialog with IDCANCEL, got %d\n",
     static_cast<int>(result));
}

// --- Open: the chooser, the run and the notice -----------------------------------

// Stands in for the folder chooser, the allocator and the run, and records
// the order of the calls.
struct OpenRecorder {
  std::vector<std::string> calls;
  BROWSEINFOA browse = {};
  std::string title;
  bool bufferWasZeroed = false;
  PIDLIST_ABSOLUTE freed = nullptr;
  std::string folder;

  // What the stand-ins answer.
  PIDLIST_ABSOLUTE chosenItem = nullptr;
  const char *chosenPath = nullptr; // null: the item has no file-system path
  const wchar_t *chosenWidePath = nullptr; // null: chosenPath, which is plain ASCII
  std::string notice = "finished!";
};
OpenRecorder recorder;
ITEMIDLIST someItem = {};

PIDLIST_ABSOLUTE WINAPI RecordBrowse(LPBROWSEINFOA info) {
  recorder.calls.push_back("browse");
  recorder.browse = *info;
  recorder.title = info->lpszTitle != nullptr ? info->lpszTitle : "(null)";
  return recorder.chosenItem;
}

BOOL WINAPI RecordGetPath(PCIDLIST_ABSOLUTE, LPSTR buffer) {
  recorder.calls.push_back("path");
  recorder.bufferWasZeroed = true;
  for (int i = 0; i < MAX_PATH; ++i)
    recorder.bufferWasZeroed &= buffer[i] == 0;
  if (recorder.chosenPath == nullptr)
    return FALSE;
  std::strcpy(buffer, recorder.chosenPath);
  return TRUE;
}

BOOL WINAPI RecordGetWidePath(PCIDLIST_ABSOLUTE, LPWSTR buffer) {
  recorder.calls.push_back("wide path");
  if (recorder.chosenWidePath != nullptr) {
    std::wcscpy(buffer, recorder.chosenWidePath);
  } else {
    std::size_t i = 0;
    for (; recorder.chosenPath[i] != '\0'; ++i)
      buffer[i] = static_cast<unsigned char>(recorder.chosenPath[i]);
    buffer[i] = L'\0';
  }
  return TRUE;
}

void WINAPI RecordFree(LPVOID item) {
  recorder.calls.push_back("free");
  recorder.freed = static_cast<PIDLIST_ABSOLUTE>(item);
}

tailsnip::RunReport RecordRun(tailsnip::FolderPath folder, const tailsnip::Notify &notify) {
  recorder.calls.push_back("run");
  recorder.folder = folder;
  notify(recorder.notice);
  recorder.calls.push_back("run ended");
  return {};
}

std::string Joined(const std::vector<std::string> &calls) {
  std::string joined;
  for (const std::string &call : calls)
    joined += (joined.empty() ? "" : ", ") + call;
  return joined;
}

void CheckBrowseInfo() {
  const BROWSEINFOA &b = recorder.browse;
  ok(b.hwndOwner == nullptr, "hwndOwner: expected null, got %p\n",
     static_cast<void *>(b.hwndOwner));
  ok(b.pidlRoot == nullptr, "pidlRoot: expected null, got %p\n",
     static_cast<const void *>(b.pidlRoot));
  ok(b.pszDisplayName == nullptr, "pszDisplayName: expected null, got %p\n",
     static_cast<void *>(b.pszDisplayName));
  ok(recorder.title == "Please choose the folser",
     "lpszTitle: expected \"Please choose the folser\", got \"%s\"\n", recorder.title.c_str());
  ok(b.ulFlags == 0x13, "ulFlags: expected 0x13, got 0x%x\n", b.ulFlags);
  ok(b.lpfn == nullptr && b.lParam == 0 && b.iImage == 0,
     "lpfn, lParam, iImage: expected 0, got %p, %ld, %d\n", reinterpret_cast<void *>(b.lpfn),
     static_cast<long>(b.lParam), b.iImage);
}

// Clicks Open and expects a notice with `notice` that is then dismissed.
void AddOpenWithNotice(std::vector<Step> &steps, const char *path, std::string notice) {
  steps.push_back({"prepare a chosen folder", [=] {
                     recorder = OpenRecorder{};
                     recorder.chosenItem = &someItem;
                     recorder.chosenPath = path;
                     recorder.notice = notice;
                     return true;
                   }});
  steps.push_back(Post(
      "click Open", [] { return GetDlgItem(MainDialog(), IDC_OPEN); }, BM_CLICK, 0, 0));
  steps.push_back(
      {"wait for the notice", [=] {
         HWND box = OtherDialog();
         if (box == nullptr || !IsWindowVisible(box))
           return false;
         std::string calls = Joined(recorder.calls);
         ok(calls == "browse, path, wide path, free, run",
            "expected calls \"browse, path, wide path, free, run\", got \"%s\"\n",
            calls.c_str());
         CheckBrowseInfo();
         ok(recorder.bufferWasZeroed, "expected a zeroed path buffer of MAX_PATH bytes\n");
         ok(recorder.freed == &someItem, "expected the chosen item %p freed, got %p\n",
            static_cast<void *>(&someItem), static_cast<void *>(recorder.freed));
         ok(recorder.folder == path, "run: expected folder \"%s\", got \"%s\"\n", path,
            recorder.folder.c_str());

         char text[512] = {};
         GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
         ok(text == notice, "notice: expected \"%s\", got \"%s\"\n", notice.c_str(), text);
         std::string caption = WindowText(box);
         ok(caption == kTestProgramName, "notice caption: expected \"%s\", got \"%s\"\n",
            kTestProgramName, caption.c_str());
         HWND owner = GetWindow(box, GW_OWNER);
         ok(owner == MainDialog(), "notice: expected the main dialog %p as owner, got %p\n",
            static_cast<void *>(MainDialog()), static_cast<void *>(owner));
         HWND cancel = GetDlgItem(box, IDCANCEL);
         ok(GetDlgItem(box, IDOK) != nullptr && cancel == nullptr,
            "notice: expected a single OK button\n");
         PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
         return true;
       }});
  steps.push_back({"wait for the run to end", [] {
                     if (OtherDialog() != nullptr)
                       return false;
                     std::string calls = Joined(recorder.calls);
                     ok(calls == "browse, path, wide path, free, run, run ended",
                        "expected the run to end after the notice, got \"%s\"\n", calls.c_str());
                     return true;
                   }});
}

// Clicks Open with a chooser that yields no folder: no run, no notice.
void AddOpenWithoutFolder(std::vector<Step> &steps, const char *what, PIDLIST_ABSOLUTE item,
                          const char *expectedCalls) {
  steps.push_back({what, [=] {
                     recorder = OpenRecorder{};
                     recorder.chosenItem = item;
                     recorder.chosenPath = nullptr;
                     PostMessageA(GetDlgItem(MainDialog(), IDC_OPEN), BM_CLICK, 0, 0);
                     return true;
                   }});
  steps.push_back({"check that nothing ran", [=] {
                     // The click is handled before the next timer message.
                     if (recorder.calls.empty())
                       return false;
                     std::string calls = Joined(recorder.calls);
                     ok(calls == expectedCalls, "%s: expected calls \"%s\", got \"%s\"\n", what,
                        expectedCalls, calls.c_str());
                     ok(OtherDialog() == nullptr, "%s: expected no message box, got %p\n", what,
                        static_cast<void *>(OtherDialog()));
                     return true;
                   }});
}

// Clicks Open on a folder whose name the code page cannot hold: the narrow
// path is a look-alike, so the program says so and nothing runs.
void AddOpenWithLossyName(std::vector<Step> &steps) {
  steps.push_back({"choose a folder named with an omega", [] {
                     recorder = OpenRecorder{};
                     recorder.chosenItem = &someItem;
                     recorder.chosenPath = "C:\\Omega";
                     recorder.chosenWidePath = L"C:\\\u03a9mega";
                     PostMessageA(GetDlgItem(MainDialog(), IDC_OPEN), BM_CLICK, 0, 0);
                     return true;
                   }});
  steps.push_back({"wait for the message", [] {
                     HWND box = OtherDialog();
                     if (box == nullptr || !IsWindowVisible(box))
                       return false;
                     std::string calls = Joined(recorder.calls);
                     ok(calls == "browse, path, wide path, free",
                        "expected no run, got calls \"%s\"\n", calls.c_str());
                     char text[512] = {};
                     GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                     const std::string expected = "C:\\Omega: name not representable in the "
                                                  "system code page\n\nNothing was changed.";
                     ok(text == expected, "expected \"%s\", got \"%s\"\n", expected.c_str(),
                        text);
                     PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
                     return true;
                   }});
  steps.push_back({"wait for the message to close", [] { return OtherDialog() == nullptr; }});
}

void TestOpen() {
  OpenOperations real = g_openOperations;
  g_openOperations = {RecordBrowse, RecordGetPath, RecordGetWidePath, RecordFree, RecordRun};

  std::vector<Step> steps = {WaitForMainDialog()};
  AddOpenWithNotice(steps, "C:\\chosen folder", "finished!");
  AddOpenWithNotice(steps, "C:\\", "finished!\r\n\r\n1 entry could not be shortened.");
  AddOpenWithoutFolder(steps, "cancelled chooser", nullptr, "browse");
  AddOpenWithoutFolder(steps, "item without a path", &someItem, "browse, path, free");
  AddOpenWithLossyName(steps);
  steps.push_back({"check the dialog is still there", [] {
                     ok(IsWindowEnabled(MainDialog()),
                        "expected the main dialog enabled after the runs\n");
                     return true;
                   }});
  steps.push_back(CloseMainDialog());

  CTailsnipDialog dialog;
  RunDialog(dialog, std::move(steps));
  g_openOperations = real;
}

// --- An empty menu text: no About entry -------------------------------------------

std::string ThisProgramsFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

void TestEmptyAboutText() {
  std::string dll = ThisProgramsFolder() + "dialog_test_strings.dll";
  HMODULE strings = LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ok(strings != nullptr, "expected to load %s, error %lu\n", dll.c_str(), GetLastError());
  if (strings == nullptr)
    return;
  AfxSetResourceHandle(strings);

  CTailsnipDialog dialog;
  RunDialog(dialog, {WaitForMainDialog(),
                     {"check the system menu",
                      [] {
                        HMENU menu = GetSystemMenu(MainDialog(), FALSE);
                        ok(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) != UINT(-1),
                           "expected the system menu with its Close item\n");
                        ok(GetMenuState(menu, IDM_ABOUTBOX, MF_BYCOMMAND) == UINT(-1),
                           "expected no item with command 16\n");
                        int count = GetMenuItemCount(menu);
                        MENUITEMINFOA last = {};
                        last.cbSize = sizeof last;
                        last.fMask = MIIM_FTYPE;
                        GetMenuItemInfoA(menu, count - 1, TRUE, &last);
                        ok(!(last.fType & MFT_SEPARATOR),
                           "expected no separator at the end, got type 0x%x\n", last.fType);
                        CheckSetIconCalls("empty About text");
                        return true;
                      }},
                     CloseMainDialog()});

  AfxSetResourceHandle(AfxGetInstanceHandle());
  FreeLibrary(strings);
}

class CDialogTestApp : public CWinApp {
public:
  int helpCommands = 0;

  BOOL InitInstance() override {
    TestCenteredIconOrigin();
    TestMessageMaps();
    TestMainDialogStart();
    TestMinimisedPainting();
    TestAboutBox();
    TestOpen();
    TestEmptyAboutText();
    return FALSE;
  }

protected:
  afx_msg void OnHelpCommand() { ++helpCommands; }

  DECLARE_MESSAGE_MAP()
};

// clang-format off
BEGIN_MESSAGE_MAP(CDialogTestApp, CWinApp)
  ON_COMMAND(ID_HELP, OnHelpCommand)
END_MESSAGE_MAP()
// clang-format on

CDialogTestApp testApp;

int HelpCommandsSeenByApp() { return testApp.helpCommands; }

} // namespace

int main() {
  // The same start as the program's: AfxWinMain names the application after
  // this executable and calls InitInstance.
  AfxWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWNORMAL);
  return wine_test::finish();
}
