#include "shell/TailsnipDialog.h"

#include "shell/AboutBox.h"

#include <string>
#include <utility>

static_assert((IDM_ABOUTBOX & 0xFFF0) == IDM_ABOUTBOX,
              "the low four bits of a system command belong to Windows");

OpenOperations g_openOperations = {SHBrowseForFolderA, SHGetPathFromIDListA, SHGetPathFromIDListW,
                                   CoTaskMemFree,
                                   [](tailsnip::FolderPath folder, const tailsnip::Notify &notify) {
                                     return tailsnip::RunTrim(std::move(folder), notify);
                                   }};

namespace {

std::wstring Widened(const std::string &narrow) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &wide[0], length);
  wide.resize(wide.size() - 1); // the terminator
  return wide;
}

} // namespace

POINT CenteredIconOrigin(const RECT &client, int iconWidth, int iconHeight) {
  int width = client.right - client.left;
  int height = client.bottom - client.top;
  return {(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

// clang-format off
BEGIN_MESSAGE_MAP(CTailsnipDialog, CDialog)
  ON_WM_SYSCOMMAND()
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
  ON_BN_CLICKED(IDC_OPEN, OnOpen)
END_MESSAGE_MAP()
// clang-format on

CTailsnipDialog::CTailsnipDialog(CWnd *pParent) : CDialog(IDD, pParent) {
  LPCSTR icon = MAKEINTRESOURCEA(IDR_MAINFRAME);
  m_hIcon = ::LoadIconA(AfxFindResourceHandle(icon, RT_GROUP_ICON), icon);
}

void CTailsnipDialog::DoDataExchange(CDataExchange *pDX) {
  // No control is bound to a member.
  CDialog::DoDataExchange(pDX);
}

BOOL CTailsnipDialog::OnInitDialog() {
  CDialog::OnInitDialog();

  if (CMenu *sysMenu = GetSystemMenu(FALSE)) {
    CString aboutText;
    aboutText.LoadStringA(IDS_ABOUTBOX);
    if (!aboutText.IsEmpty()) {
      sysMenu->AppendMenuA(MF_SEPARATOR);
      sysMenu->AppendMenuA(MF_STRING, IDM_ABOUTBOX, aboutText);
    }
  }

  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  return TRUE;
}

void CTailsnipDialog::OnSysCommand(UINT nID, LPARAM /*lParam*/) {
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutBox about;
    about.DoModal();
  } else {
    Default();
  }
}

void CTailsnipDialog::OnPaint() {
  if (!IsIconic()) {
    Default();
    return;
  }
  CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.m_hDC), 0);
  RECT client;
  GetClientRect(&client);
  POINT origin =
      CenteredIconOrigin(client, ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON));
  ::DrawIcon(dc, origin.x, origin.y, m_hIcon);
}

HCURSOR CTailsnipDialog::OnQueryDragIcon() { return m_hIcon; }

void CTailsnipDialog::OnOpen() {
  char buffer[MAX_PATH] = {};
  std::string path;

  BROWSEINFOA browse = {};
  browse.hwndOwner = nullptr;
  browse.pidlRoot = nullptr;
  browse.pszDisplayName = nullptr;
  browse.lpszTitle = "Please choose the folser";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX;

  bool faithful = true;
  if (PIDLIST_ABSOLUTE item = g_openOperations.browseForFolder(&browse)) {
    if (g_openOperations.getPathFromIDList(item, buffer)) {
      path = buffer;
      wchar_t wide[MAX_PATH] = {};
      faithful = g_openOperations.getWidePathFromIDList(item, wide) && Widened(path) == wide;
    }
    g_openOperations.freeIDList(item);
  }

  // Cancelled, or an item that is no folder of the file system: an empty
  // path would name the root of the current drive, so nothing runs.
  if (path.empty())
    return;
  // Where the code page lacks a character of the folder's name, the narrow
  // path holds a look-alike that may name another folder: never walk it.
  if (!faithful) {
    const std::string text = path + ": " +
                             tailsnip::DescribeReason(tailsnip::Reason::NameNotRepresentable) +
                             "\n\nNothing was changed.";
    MessageBoxA(text.c_str(), nullptr, MB_OK);
    return;
  }
  g_openOperations.runTrim(
      path, [this](const std::string &text) { MessageBoxA(text.c_str(), nullptr, MB_OK); });
}
