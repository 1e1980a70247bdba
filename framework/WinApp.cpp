#include "framework/AfxWin.h"

#include <objbase.h>

namespace {

CWinApp *theApplication = nullptr;
HINSTANCE resourceModule = nullptr;

// "C:\dir\Name.exe" -> "Name".
std::string ModuleBaseName(HINSTANCE module) {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(module, path, MAX_PATH);
  std::string name = path;
  name.erase(0, name.find_last_of("\\/") + 1);
  std::string::size_type dot = name.find_last_of('.');
  if (dot != std::string::npos)
    name.erase(dot);
  return name;
}

} // namespace

CWinApp::CWinApp(LPCSTR lpszAppName) : m_pszAppName(lpszAppName) { theApplication = this; }

CWinApp::~CWinApp() {
  if (theApplication == this)
    theApplication = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

BOOL CWinApp::Enable3dControls() { return TRUE; }

void CWinApp::OnHelp() {}

CWinApp *AfxGetApp() { return theApplication; }

LPCSTR AfxGetAppName() {
  return theApplication != nullptr ? theApplication->m_pszAppName : nullptr;
}

HINSTANCE AfxGetInstanceHandle() {
  return theApplication != nullptr ? theApplication->m_hInstance : nullptr;
}

HINSTANCE AfxGetResourceHandle() { return resourceModule; }

void AfxSetResourceHandle(HINSTANCE hInstResource) { resourceModule = hInstResource; }

HINSTANCE AfxFindResourceHandle(LPCSTR lpszName, LPCSTR lpszType) {
  if (resourceModule != nullptr && ::FindResourceA(resourceModule, lpszName, lpszType) != nullptr)
    return resourceModule;
  return AfxGetInstanceHandle();
}

void AfxEnableControlContainer() {}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
               int /*nCmdShow*/) {
  CWinApp *app = AfxGetApp();
  if (app == nullptr)
    return 1;
  app->m_hInstance = hInstance;
  if (resourceModule == nullptr)
    resourceModule = hInstance;
  if (app->m_pszAppName == nullptr) {
    app->m_moduleName = ModuleBaseName(hInstance);
    app->m_pszAppName = app->m_moduleName.c_str();
  }

  // The shell's folder chooser needs a single-threaded apartment.
  HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  app->InitInstance();
  if (SUCCEEDED(com))
    ::CoUninitialize();
  return 0;
}
