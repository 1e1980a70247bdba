// Starts the real Tailsnip.exe and drives it from outside, as a user would:
// the main dialog, the folder chooser, the completion notice, the About box
// and closing the program, checking the files on disk after each run.
//
//   tailsnip_e2e Tailsnip.exe
//
// Everything happens through window handles and posted messages, so a
// program that stops answering is noticed by a timeout instead of hanging
// the driver; a failsafe thread ends both processes if the whole run
// overstays.

#include "../wine_test.h"
#include "tailsnip_version.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace {

// The first start in a fresh Wine prefix is slow.
const DWORD kStartTimeoutMs = 60000;
const DWORD kWindowTimeoutMs = 20000;
const DWORD kRunTimeoutMs = 60000;
const DWORD kSendTimeoutMs = 10000;
const DWORD kExitTimeoutMs = 20000;
const DWORD kFailsafeMs = 300000;
// How long a cancelled chooser is watched for a notice that must not come.
const DWORD kQuietPeriodMs = 1500;
const DWORD kPollMs = 50;

const wchar_t kDialogClass[] = L"#32770";
const wchar_t kPrompt[] = L"Please choose the folser";
const WORD kOpenButtonId = 1000;
const UINT kAboutCommand = 16;

PROCESS_INFORMATION program = {};

DWORD WINAPI Failsafe(void *) {
  Sleep(kFailsafeMs);
  std::printf("failsafe: the test ran longer than %lu ms; ending Tailsnip and "
              "the test\n",
              kFailsafeMs);
  if (program.hProcess)
    TerminateProcess(program.hProcess, 1);
  std::printf("%d passed, %d failed\n", wine_test::passed,
              wine_test::failed + 1);
  std::fflush(stdout);
  ExitProcess(1);
}

bool WaitUntil(DWORD timeoutMs, const std::function<bool()> &condition) {
  DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > timeoutMs)
      return false;
    Sleep(kPollMs);
  }
  return true;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

LONG StyleOf(HWND window) { return GetWindowLongW(window, GWL_STYLE); }

BOOL CALLBACK CollectProgramDialog(HWND window, LPARAM found) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId == program.dwProcessId && IsWindowVisible(window) &&
      ClassOf(window) == kDialogClass)
    reinterpret_cast<std::vector<HWND> *>(found)->push_back(window);
  return TRUE;
}

std::vector<HWND> VisibleDialogsOfProgram() {
  std::vector<HWND> dialogs;
  EnumWindows(CollectProgramDialog, reinterpret_cast<LPARAM>(&dialogs));
  return dialogs;
}

struct ChildSearch {
  HWND parent;
  const wchar_t *windowClass;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM state) {
  auto *search = reinterpret_cast<ChildSearch *>(state);
  if (GetParent(window) == search->parent && IsWindowVisible(window) &&
      _wcsicmp(ClassOf(window).c_str(), search->windowClass) == 0)
    search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> VisibleChildren(HWND parent, const wchar_t *windowClass) {
  ChildSearch search{parent, windowClass, {}};
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool HasChildText(HWND parent, const wchar_t *windowClass,
                  const std::wstring &text) {
  for (HWND child : VisibleChildren(parent, windowClass))
    if (TextOf(child) == text)
      return true;
  return false;
}

// The texts of the shown children of one class, for failure messages.
std::wstring ChildTexts(HWND parent, const wchar_t *windowClass) {
  std::wstring texts;
  for (HWND child : VisibleChildren(parent, windowClass))
    texts += (texts.empty() ? L"\"" : L", \"") + TextOf(child) + L"\"";
  return texts.empty() ? L"none" : texts;
}

// The first dialog of the program, other than those given, that satisfies
// the condition; null after the timeout.
HWND WaitForDialog(DWORD timeoutMs, const std::vector<HWND> &known,
                   const std::function<bool(HWND)> &condition) {
  HWND result = nullptr;
  WaitUntil(timeoutMs, [&] {
    for (HWND dialog : VisibleDialogsOfProgram()) {
      bool isKnown = false;
      for (HWND other : known)
        isKnown |= other == dialog;
      if (!isKnown && condition(dialog)) {
        result = dialog;
        return true;
      }
    }
    return false;
  });
  return result;
}

bool WaitForWindowGone(HWND window) {
  return WaitUntil(kWindowTimeoutMs, [&] {
    return !IsWindow(window) || !IsWindowVisible(window);
  });
}

// A round trip through the program's message queue: when it returns, the
// program has finished whatever the previous posted message started, unless
// that opened a modal loop of its own.
bool SyncWith(HWND window) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kSendTimeoutMs,
                             &result) != 0;
}

int IconsShown(HWND dialog) {
  int shown = 0;
  for (HWND picture : VisibleChildren(dialog, L"Static")) {
    DWORD_PTR icon = 0;
    if ((StyleOf(picture) & SS_TYPEMASK) == SS_ICON &&
        SendMessageTimeoutW(picture, STM_GETICON, 0, 0, SMTO_NORMAL,
                            kSendTimeoutMs, &icon) &&
        icon)
      ++shown;
  }
  return shown;
}

void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

// ---- files --------------------------------------------------------------

std::wstring JoinPath(const std::wstring &folder, const std::wstring &name) {
  return folder + L"\\" + name;
}

bool WriteBytes(const std::wstring &path, const std::string &bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  BOOL success = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                           &written, nullptr);
  CloseHandle(file);
  return success && written == bytes.size();
}

bool FileExists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes, or "<missing>" when it cannot be read.
std::string ReadBytes(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return "<missing>";
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
    bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

// Shows line ends and other control bytes, so that a failure message says
// exactly which bytes differ.
std::string Printable(const std::string &bytes) {
  std::string shown;
  for (unsigned char c : bytes) {
    if (c == '\r')
      shown += "\\r";
    else if (c == '\n')
      shown += "\\n";
    else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else
      shown += static_cast<char>(c);
  }
  return shown;
}

void RemoveTree(const std::wstring &folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(JoinPath(folder, L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..")
        continue;
      std::wstring path = JoinPath(folder, name);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// One file of the chosen folder and what it must hold after each run.
struct TreeFile {
  const wchar_t *relativePath;
  std::string before;
  std::string afterFirstRun;
  std::string afterSecondRun;
};

const std::vector<TreeFile> &TreeFiles() {
  static const std::vector<TreeFile> files = {
      {L"crlf.txt", "a\r\nb\r\nc\r\n", "a\r\nb\r\n", "a\r\n"},
      {L"bare line feeds.txt", "one\ntwo\nthree", "one\r\ntwo\r\n", "one\r\n"},
      {L"empty last line.txt", "x\ny\n\n", "x\r\ny\r\n", "x\r\n"},
      {L"empty.txt", "", "", ""},
      {L"sub\\lone carriage return.txt", "p\rq\r\nr\r\n", "p\rq\r\n", ""},
      {L"sub\\deeper\\single.txt", "only", "", ""},
  };
  return files;
}

struct Workspace {
  std::wstring root;
  // The folder picked in the chooser.
  std::wstring chosen;
  // Tailsnip's current directory, where its "temp.txt" goes.
  std::wstring currentDirectory;
};

// Under the prefix's temporary folder, which lies on drive C:, the only
// drive whose paths Wine's folder chooser resolves.
bool PrepareWorkspace(Workspace &workspace) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  workspace.root = std::wstring(temp) + L"tailsnip-e2e-" +
                   std::to_wstring(GetCurrentProcessId());
  workspace.chosen = JoinPath(workspace.root, L"chosen");
  workspace.currentDirectory = JoinPath(workspace.root, L"current");
  RemoveTree(workspace.root);
  bool created =
      CreateDirectoryW(workspace.root.c_str(), nullptr) &&
      CreateDirectoryW(workspace.chosen.c_str(), nullptr) &&
      CreateDirectoryW(JoinPath(workspace.chosen, L"sub").c_str(), nullptr) &&
      CreateDirectoryW(JoinPath(workspace.chosen, L"sub\\deeper").c_str(),
                       nullptr) &&
      CreateDirectoryW(workspace.currentDirectory.c_str(), nullptr);
  for (const TreeFile &file : TreeFiles())
    created =
        created &&
        WriteBytes(JoinPath(workspace.chosen, file.relativePath), file.before);
  return ok(created,
            "expected to prepare the test folders under %ls, error %lu\n",
            workspace.root.c_str(), GetLastError());
}

void ListFiles(const std::wstring &folder, const std::wstring &prefix,
               std::vector<std::wstring> &files) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(JoinPath(folder, L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..")
      continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(JoinPath(folder, name), prefix + name + L"\\", files);
    else
      files.push_back(prefix + name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// The files' contents, and that no copy was left anywhere in the folder.
void CheckTree(const Workspace &workspace, std::string TreeFile::*expected,
               const char *when) {
  for (const TreeFile &file : TreeFiles()) {
    std::string actual =
        ReadBytes(JoinPath(workspace.chosen, file.relativePath));
    ok(actual == file.*expected, "%s, %ls: expected \"%s\", got \"%s\"\n", when,
       file.relativePath, Printable(file.*expected).c_str(),
       Printable(actual).c_str());
  }
  std::vector<std::wstring> present;
  ListFiles(workspace.chosen, L"", present);
  for (const std::wstring &name : present) {
    bool known = false;
    for (const TreeFile &file : TreeFiles())
      known |= name == file.relativePath;
    ok(known, "%s: expected no other file in the chosen folder, found %ls\n",
       when, name.c_str());
  }
}

// ---- dialog geometry ----------------------------------------------------

INT_PTR CALLBACK IgnoreMessages(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Builds an empty dialog with the main dialog's font in this process, so
// that dialog units convert to pixels exactly as they do in Tailsnip's.
class DialogUnits {
public:
  DialogUnits() {
    const DWORD style = WS_POPUP | WS_CAPTION | DS_SETFONT | DS_MODALFRAME;
    std::vector<WORD> words;
    auto append = [&words](std::initializer_list<WORD> group) {
      words.insert(words.end(), group);
    };
    append({1, 0xFFFF});  // an extended template
    append({0, 0, 0, 0}); // no help id, no extended style
    append({LOWORD(style), HIWORD(style)});
    append({0, 0, 0, 10, 10}); // no controls; the rectangle
    append({0, 0, 0});         // no menu, the standard class, no caption
    append({8, 0, 0x0100});    // 8 points, weight 0, upright, charset 1
    for (const wchar_t *c = L"MS Sans Serif"; *c; ++c)
      words.push_back(*c);
    words.push_back(0);
    // CreateDialogIndirect wants the template DWORD-aligned.
    std::vector<DWORD> aligned((words.size() + 1) / 2);
    std::memcpy(aligned.data(), words.data(), words.size() * sizeof(WORD));
    window_ = CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr),
        reinterpret_cast<LPCDLGTEMPLATEW>(aligned.data()), nullptr,
        IgnoreMessages, 0);
  }
  ~DialogUnits() {
    if (window_)
      DestroyWindow(window_);
  }
  bool valid() const { return window_ != nullptr; }

  // Origin and size convert separately, as the dialog manager places
  // controls; converting the corners would round differently.
  RECT toPixels(int x, int y, int cx, int cy) const {
    RECT units = {x, y, cx, cy};
    MapDialogRect(window_, &units);
    return {units.left, units.top, units.left + units.right,
            units.top + units.bottom};
  }

private:
  HWND window_ = nullptr;
};

RECT ClientRectOf(HWND window) {
  RECT rect = {};
  GetClientRect(window, &rect);
  return rect;
}

RECT RectInParent(HWND child, HWND parent) {
  RECT rect = {};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT *>(&rect), 2);
  return rect;
}

bool SameRect(const RECT &a, const RECT &b) {
  return a.left == b.left && a.top == b.top && a.right == b.right &&
         a.bottom == b.bottom;
}

// ---- the steps ----------------------------------------------------------

bool StartProgram(const std::wstring &exePath, const Workspace &workspace) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring commandLine = L"\"" + exePath + L"\"";
  BOOL started = CreateProcessW(
      exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
      workspace.currentDirectory.c_str(), &startup, &program);
  return ok(started, "expected to start %ls, error %lu\n", exePath.c_str(),
            GetLastError());
}

HWND FindMainDialog() {
  HWND main = WaitForDialog(kStartTimeoutMs, {}, [](HWND dialog) {
    return !VisibleChildren(dialog, L"Button").empty();
  });
  ok(main != nullptr, "expected Tailsnip's dialog within %lu ms, found none\n",
     kStartTimeoutMs);
  return main;
}

HWND CheckMainDialog(HWND main, const DialogUnits &units) {
  // The window manager adds WS_CLIPSIBLINGS to every top-level window and
  // DS_3DLOOK to every dialog; the rest comes from the template.
  const LONG expectedStyle = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                             DS_MODALFRAME | DS_SETFONT;
  LONG style = StyleOf(main) & ~(WS_CLIPSIBLINGS | DS_3DLOOK);
  ok(style == expectedStyle,
     "main dialog: expected style 0x%08lx (without WS_CLIPSIBLINGS, "
     "DS_3DLOOK), got 0x%08lx\n",
     expectedStyle, style);
  LONG exStyle = GetWindowLongW(main, GWL_EXSTYLE);
  ok(exStyle & WS_EX_APPWINDOW,
     "main dialog: expected WS_EX_APPWINDOW in extended style, got 0x%08lx\n",
     exStyle);
  ok(!TextOf(main).empty(), "main dialog: expected a caption, got none\n");
  ok(GetWindow(main, GW_OWNER) == nullptr,
     "main dialog: expected no owner, got %p\n", GetWindow(main, GW_OWNER));

  RECT expectedClient = units.toPixels(0, 0, 169, 83);
  RECT client = ClientRectOf(main);
  ok(SameRect(client, expectedClient),
     "main dialog: expected client area %ldx%ld px (169x83 units), got "
     "%ldx%ld\n",
     expectedClient.right, expectedClient.bottom, client.right, client.bottom);

  std::vector<HWND> buttons = VisibleChildren(main, L"Button");
  std::vector<HWND> statics = VisibleChildren(main, L"Static");
  ok(buttons.size() == 1 && statics.empty(),
     "main dialog: expected exactly one button, got %u buttons, %u statics\n",
     unsigned(buttons.size()), unsigned(statics.size()));
  HWND open = GetDlgItem(main, kOpenButtonId);
  if (!ok(open != nullptr, "main dialog: expected control %u, found none\n",
          kOpenButtonId))
    return nullptr;
  ok(TextOf(open) == L"Open",
     "Open button: expected text \"Open\", got \"%ls\"\n",
     TextOf(open).c_str());
  ok(_wcsicmp(ClassOf(open).c_str(), L"Button") == 0,
     "Open button: expected class Button, got %ls\n", ClassOf(open).c_str());
  // The dialog manager marks the focused push button as the default one.
  LONG buttonStyle = StyleOf(open);
  LONG buttonKind = buttonStyle & BS_TYPEMASK;
  ok((buttonStyle & ~BS_TYPEMASK) == (WS_CHILD | WS_VISIBLE | WS_TABSTOP) &&
         (buttonKind == BS_PUSHBUTTON || buttonKind == BS_DEFPUSHBUTTON),
     "Open button: expected style 0x50010000 (or its default-button form), got "
     "0x%08lx\n",
     buttonStyle);
  RECT expectedButton = units.toPixels(13, 15, 124, 37);
  RECT button = RectInParent(open, main);
  ok(SameRect(button, expectedButton),
     "Open button: expected (%ld,%ld)-(%ld,%ld) px (13,15 124x37 units), got "
     "(%ld,%ld)-(%ld,%ld)\n",
     expectedButton.left, expectedButton.top, expectedButton.right,
     expectedButton.bottom, button.left, button.top, button.right,
     button.bottom);
  return open;
}

HWND OpenChooser(HWND main, HWND open) {
  Click(open);
  HWND chooser = WaitForDialog(kWindowTimeoutMs, {main}, [](HWND dialog) {
    return HasChildText(dialog, L"Static", kPrompt);
  });
  if (!ok(chooser != nullptr,
          "expected a folder chooser with the prompt \"%ls\", found none\n",
          kPrompt))
    return nullptr;
  ok(GetWindow(chooser, GW_OWNER) == nullptr,
     "chooser: expected no owner, got %p\n", GetWindow(chooser, GW_OWNER));
  ok(IsWindowEnabled(main),
     "main dialog: expected it to stay enabled while the chooser is open\n");
  return chooser;
}

// Memory inside Tailsnip, for the messages whose parameters point to data.
class RemoteBuffer {
public:
  explicit RemoteBuffer(SIZE_T bytes)
      : address_(VirtualAllocEx(program.hProcess, nullptr, bytes,
                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
  ~RemoteBuffer() {
    if (address_)
      VirtualFreeEx(program.hProcess, address_, 0, MEM_RELEASE);
  }
  RemoteBuffer(const RemoteBuffer &) = delete;
  RemoteBuffer &operator=(const RemoteBuffer &) = delete;

  bool valid() const { return address_ != nullptr; }
  BYTE *at(SIZE_T offset) const {
    return static_cast<BYTE *>(address_) + offset;
  }

  bool write(SIZE_T offset, const void *data, SIZE_T bytes) const {
    SIZE_T written = 0;
    return WriteProcessMemory(program.hProcess, at(offset), data, bytes,
                              &written) &&
           written == bytes;
  }
  bool read(SIZE_T offset, void *data, SIZE_T bytes) const {
    SIZE_T read = 0;
    return ReadProcessMemory(program.hProcess, at(offset), data, bytes,
                             &read) &&
           read == bytes;
  }

private:
  void *address_;
};

// The text of the item selected in the chooser's folder tree.
std::wstring SelectedFolderName(HWND chooser) {
  std::vector<HWND> trees = VisibleChildren(chooser, WC_TREEVIEWW);
  if (trees.empty())
    return L"<no folder tree>";
  DWORD_PTR item = 0;
  if (!SendMessageTimeoutW(trees[0], TVM_GETNEXTITEM, TVGN_CARET, 0,
                           SMTO_NORMAL, kSendTimeoutMs, &item) ||
      !item)
    return L"<nothing selected>";
  const int textCapacity = MAX_PATH;
  RemoteBuffer remote(sizeof(TVITEMW) + textCapacity * sizeof(wchar_t));
  if (!remote.valid())
    return L"<no memory in Tailsnip>";
  TVITEMW query = {};
  query.mask = TVIF_TEXT;
  query.hItem = reinterpret_cast<HTREEITEM>(item);
  query.pszText = reinterpret_cast<wchar_t *>(remote.at(sizeof(TVITEMW)));
  query.cchTextMax = textCapacity;
  wchar_t text[textCapacity] = {};
  DWORD_PTR found = 0;
  if (!remote.write(0, &query, sizeof query) ||
      !SendMessageTimeoutW(trees[0], TVM_GETITEMW, 0,
                           reinterpret_cast<LPARAM>(remote.at(0)), SMTO_NORMAL,
                           kSendTimeoutMs, &found) ||
      !found ||
      !remote.read(sizeof(TVITEMW), text, sizeof text - sizeof(wchar_t)))
    return L"<unreadable>";
  return text;
}

// Wine's chooser has no edit box; the folder is selected the way the
// chooser's own callback would, with the path in Tailsnip's memory, and the
// tree is read back until it shows the folder as selected.
bool SelectFolder(HWND chooser, const std::wstring &folder) {
  RemoteBuffer remote((folder.size() + 1) * sizeof(wchar_t));
  if (!ok(remote.valid() && remote.write(0, folder.c_str(),
                                         (folder.size() + 1) * sizeof(wchar_t)),
          "expected to write the folder path into Tailsnip, error %lu\n",
          GetLastError()))
    return false;
  std::wstring folderName = folder.substr(folder.find_last_of(L'\\') + 1);
  std::wstring selected;
  bool selectedFolder = WaitUntil(kWindowTimeoutMs, [&] {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(chooser, BFFM_SETSELECTIONW, TRUE,
                        reinterpret_cast<LPARAM>(remote.at(0)), SMTO_NORMAL,
                        kSendTimeoutMs, &result);
    selected = SelectedFolderName(chooser);
    return selected == folderName;
  });
  return ok(selectedFolder,
            "chooser: expected \"%ls\" selected after BFFM_SETSELECTIONW, got "
            "\"%ls\"\n",
            folderName.c_str(), selected.c_str());
}

// Opens the chooser, picks the folder and checks the notice that follows.
bool RunOnFolder(HWND main, HWND open, const std::wstring &folder) {
  HWND chooser = OpenChooser(main, open);
  if (!chooser || !SelectFolder(chooser, folder))
    return false;
  HWND confirm = GetDlgItem(chooser, IDOK);
  if (!ok(confirm && IsWindowEnabled(confirm),
          "chooser: expected an enabled OK button after selecting %ls\n",
          folder.c_str()))
    return false;
  Click(confirm);
  ok(WaitForWindowGone(chooser), "chooser: expected it to close after OK\n");

  HWND notice = WaitForDialog(kRunTimeoutMs, {main}, [](HWND) { return true; });
  if (!ok(notice != nullptr,
          "expected the completion notice within %lu ms, found none\n",
          kRunTimeoutMs))
    return false;
  ok(TextOf(notice) == L"Tailsnip",
     "notice: expected caption \"Tailsnip\", got \"%ls\"\n",
     TextOf(notice).c_str());
  ok(HasChildText(notice, L"Static", L"finished!"),
     "notice: expected the text \"finished!\", got %ls\n",
     ChildTexts(notice, L"Static").c_str());
  std::vector<HWND> buttons = VisibleChildren(notice, L"Button");
  ok(buttons.size() == 1 && TextOf(buttons[0]) == L"OK",
     "notice: expected a single OK button, got %u buttons%s%ls\n",
     unsigned(buttons.size()), buttons.empty() ? "" : ", first ",
     buttons.empty() ? L"" : TextOf(buttons[0]).c_str());
  ok(IconsShown(notice) == 0, "notice: expected no icon, got %d\n",
     IconsShown(notice));
  ok(GetWindow(notice, GW_OWNER) == main,
     "notice: expected the main dialog %p as owner, got %p\n", main,
     GetWindow(notice, GW_OWNER));
  ok(!IsWindowEnabled(main),
     "main dialog: expected it to be disabled while the notice is shown\n");

  Click(buttons.empty() ? GetDlgItem(notice, IDOK) : buttons[0]);
  ok(WaitForWindowGone(notice), "notice: expected it to close after OK\n");
  bool enabledAgain = WaitUntil(kWindowTimeoutMs,
                                [&] { return IsWindowEnabled(main) != FALSE; });
  ok(enabledAgain,
     "main dialog: expected it to be enabled again after the notice\n");
  return SyncWith(main);
}

std::map<std::wstring, std::string> Snapshot(const Workspace &workspace) {
  std::map<std::wstring, std::string> contents;
  for (const TreeFile &file : TreeFiles())
    contents[file.relativePath] =
        ReadBytes(JoinPath(workspace.chosen, file.relativePath));
  return contents;
}

bool CancelChooser(HWND main, HWND open, const Workspace &workspace) {
  std::map<std::wstring, std::string> before = Snapshot(workspace);
  HWND chooser = OpenChooser(main, open);
  if (!chooser)
    return false;
  Click(GetDlgItem(chooser, IDCANCEL));
  if (!ok(WaitForWindowGone(chooser),
          "chooser: expected it to close after Cancel\n"))
    return false;
  ok(SyncWith(main),
     "main dialog: expected it to answer after the cancelled chooser\n");
  HWND unexpected =
      WaitForDialog(kQuietPeriodMs, {main}, [](HWND) { return true; });
  ok(unexpected == nullptr,
     "expected no window after a cancelled chooser, got \"%ls\"\n",
     unexpected ? TextOf(unexpected).c_str() : L"");
  if (unexpected)
    PostMessageW(unexpected, WM_COMMAND, IDOK, 0);
  ok(IsWindowEnabled(main),
     "main dialog: expected it enabled after a cancelled chooser\n");
  ok(Snapshot(workspace) == before,
     "expected no file changed by a cancelled chooser\n");
  ok(!FileExists(JoinPath(workspace.currentDirectory, L"temp.txt")),
     "expected no temp.txt after a cancelled chooser\n");
  return true;
}

enum class AboutClose { OkButton, EscapeKey, CloseCommand };

const char *Describe(AboutClose how) {
  switch (how) {
  case AboutClose::OkButton:
    return "OK";
  case AboutClose::EscapeKey:
    return "Esc";
  case AboutClose::CloseCommand:
    return "Close";
  }
  return "?";
}

bool AboutBoxRound(HWND main, UINT command, AboutClose how) {
  PostMessageW(main, WM_SYSCOMMAND, command, 0);
  HWND about = WaitForDialog(kWindowTimeoutMs, {main}, [](HWND dialog) {
    return TextOf(dialog) == L"About Tailsnip";
  });
  if (!ok(about != nullptr,
          "system command 0x%x: expected \"About Tailsnip\", found no such "
          "window\n",
          command))
    return false;
  ok(GetWindow(about, GW_OWNER) == main,
     "About box: expected the main dialog %p as owner, got %p\n", main,
     GetWindow(about, GW_OWNER));
  ok(!IsWindowEnabled(main),
     "main dialog: expected it disabled while the About box is open\n");
  ok(HasChildText(about, L"Static", L"Tailsnip Version " TAILSNIP_VERSION_SHORT),
     "About box: expected the text \"Tailsnip Version %s\", got %ls\n",
     TAILSNIP_VERSION_SHORT,
     ChildTexts(about, L"Static").c_str());
  HWND confirm = GetDlgItem(about, IDOK);
  ok(confirm && TextOf(confirm) == L"OK",
     "About box: expected an OK button with id 1, got %p \"%ls\"\n", confirm,
     confirm ? TextOf(confirm).c_str() : L"");
  ok(IconsShown(about) == 1, "About box: expected one icon shown, got %d\n",
     IconsShown(about));

  switch (how) {
  case AboutClose::OkButton:
    Click(confirm);
    break;
  case AboutClose::EscapeKey: {
    HWND focused = confirm ? confirm : about;
    PostMessageW(focused, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(focused, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    break;
  }
  case AboutClose::CloseCommand:
    PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0);
    break;
  }
  if (!ok(WaitForWindowGone(about), "About box: expected it to close with %s\n",
          Describe(how)))
    return false;
  bool enabledAgain = WaitUntil(kWindowTimeoutMs,
                                [&] { return IsWindowEnabled(main) != FALSE; });
  ok(enabledAgain,
     "main dialog: expected it enabled again after the About box closed with "
     "%s\n",
     Describe(how));
  ok(IsWindowVisible(main),
     "main dialog: expected it still shown after the About box closed with "
     "%s\n",
     Describe(how));
  return SyncWith(main);
}

void CloseProgram(HWND main) {
  PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  DWORD waited = WaitForSingleObject(program.hProcess, kExitTimeoutMs);
  if (!ok(waited == WAIT_OBJECT_0,
          "expected Tailsnip to exit within %lu ms of SC_CLOSE\n",
          kExitTimeoutMs))
    return;
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(program.hProcess, &exitCode);
  ok(exitCode == 0, "expected exit code 0, got %lu\n", exitCode);
}

bool ProgramRunning() {
  return program.hProcess &&
         WaitForSingleObject(program.hProcess, 0) == WAIT_TIMEOUT;
}

void RunScenario(const std::wstring &exePath, const Workspace &workspace) {
  DialogUnits units;
  if (!ok(units.valid(),
          "expected a reference dialog for unit conversion, error %lu\n",
          GetLastError()))
    return;
  if (!StartProgram(exePath, workspace))
    return;
  HWND main = FindMainDialog();
  HWND open = main ? CheckMainDialog(main, units) : nullptr;
  if (!open)
    return;

  const std::wstring temporaryFile =
      JoinPath(workspace.currentDirectory, L"temp.txt");
  if (!RunOnFolder(main, open, workspace.chosen))
    return;
  CheckTree(workspace, &TreeFile::afterFirstRun, "after the first run");
  ok(!FileExists(temporaryFile), "after the first run: expected no temp.txt "
                                 "left in Tailsnip's current directory\n");

  if (!CancelChooser(main, open, workspace))
    return;

  for (UINT command : {kAboutCommand, kAboutCommand | 0xF})
    for (AboutClose how : {AboutClose::OkButton, AboutClose::EscapeKey,
                           AboutClose::CloseCommand})
      if (!AboutBoxRound(main, command, how))
        return;

  // A "temp.txt" that is already there belongs to someone: the copies go
  // elsewhere and it is left exactly as it was.
  const std::string someoneElses = "not Tailsnip's\r\n";
  ok(WriteBytes(temporaryFile, someoneElses),
     "expected to create %ls, error %lu\n", temporaryFile.c_str(),
     GetLastError());
  if (!RunOnFolder(main, open, workspace.chosen))
    return;
  CheckTree(workspace, &TreeFile::afterSecondRun,
            "after a run following the About box");
  ok(ReadBytes(temporaryFile) == someoneElses,
     "expected the existing temp.txt kept as \"%s\", got \"%s\"\n",
     Printable(someoneElses).c_str(),
     Printable(ReadBytes(temporaryFile)).c_str());

  CloseProgram(main);
  ok(!IsWindow(main),
     "expected the main dialog gone after the program ended\n");
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::printf("usage: tailsnip_e2e Tailsnip.exe\n");
    return 2;
  }
  CloseHandle(CreateThread(nullptr, 0, Failsafe, nullptr, 0, nullptr));
  std::wstring exePath = wine_test::windowsPathFromArgument(argv[1]);

  Workspace workspace;
  if (PrepareWorkspace(workspace))
    RunScenario(exePath, workspace);

  if (ProgramRunning()) {
    ok(false, "expected Tailsnip to have ended; ending it now\n");
    TerminateProcess(program.hProcess, 1);
    WaitForSingleObject(program.hProcess, kExitTimeoutMs);
  }
  if (program.hProcess) {
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
  }
  if (wine_test::failed == 0)
    RemoveTree(workspace.root);
  else
    std::printf("test folders kept for inspection: %ls\n",
                workspace.root.c_str());
  return wine_test::finish();
}
