// Message maps: each class lists the messages and commands it handles in a
// table, and the dispatcher walks the tables from the most derived class to
// the root, so the first matching entry wins and the order of a table is the
// order in which its entries are tried.
#ifndef FRAMEWORK_AFXMSGMAP_H
#define FRAMEWORK_AFXMSGMAP_H

#include <windows.h>

#include <type_traits>

// Marks a message-map handler in a class declaration; expands to nothing.
#define afx_msg

// The notification code of WM_COMMAND sent by a menu or the dialog manager.
#define CN_COMMAND 0

class CCmdTarget;

// Calls one handler on `target` with the message's parameters and returns
// the message's result. The ON_ macros make one for each entry.
using AfxHandlerCall = LRESULT (*)(CCmdTarget *target, WPARAM, LPARAM);

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;
  UINT nCode;             // notification code; WM_COMMAND entries only
  UINT nID;               // command or control ID; WM_COMMAND entries only
  AfxHandlerCall pfnCall; // null ends the table
};

struct AFX_MSGMAP {
  const AFX_MSGMAP *(*pfnGetBaseMap)(); // null at the root
  const AFX_MSGMAP_ENTRY *lpEntries;
};

// The first entry for the message, searching `map` and then its bases.
const AFX_MSGMAP_ENTRY *AfxFindMessageEntry(const AFX_MSGMAP *map, UINT message, UINT code,
                                            UINT id);

// The root of everything that handles commands: it owns the empty base map.
class CCmdTarget {
public:
  virtual ~CCmdTarget() = default;

  // Calls the handler that the message map gives for the command; FALSE when
  // there is none.
  virtual BOOL OnCmdMsg(UINT nID, UINT nCode);

  static const AFX_MSGMAP *GetThisMessageMap();
  virtual const AFX_MSGMAP *GetMessageMap() const;
};

// The calls the ON_ macros put into tables. Each checks the handler's
// signature, so a handler declared differently does not compile.
template <class> struct AfxHandlerClass;
template <class T, class R, class... Args> struct AfxHandlerClass<R (T::*)(Args...)> {
  using type = T;
};

template <auto Handler> LRESULT AfxCallVoid(CCmdTarget *target, WPARAM, LPARAM) {
  using T = typename AfxHandlerClass<decltype(Handler)>::type;
  static_assert(std::is_same_v<decltype(Handler), void (T::*)()>,
                "expected afx_msg void Handler()");
  (static_cast<T *>(target)->*Handler)();
  return 0;
}

template <auto Handler>
LRESULT AfxCallUintLparam(CCmdTarget *target, WPARAM wParam, LPARAM lParam) {
  using T = typename AfxHandlerClass<decltype(Handler)>::type;
  static_assert(std::is_same_v<decltype(Handler), void (T::*)(UINT, LPARAM)>,
                "expected afx_msg void Handler(UINT, LPARAM)");
  (static_cast<T *>(target)->*Handler)(static_cast<UINT>(wParam), lParam);
  return 0;
}

template <auto Handler> LRESULT AfxCallCursor(CCmdTarget *target, WPARAM, LPARAM) {
  using T = typename AfxHandlerClass<decltype(Handler)>::type;
  static_assert(std::is_same_v<decltype(Handler), HCURSOR (T::*)()>,
                "expected afx_msg HCURSOR Handler()");
  return reinterpret_cast<LRESULT>((static_cast<T *>(target)->*Handler)());
}

// In the class body, last: declares the map that BEGIN_MESSAGE_MAP defines.
// The table is public so that tools and tests can read it.
#define DECLARE_MESSAGE_MAP()                                                                      \
public:                                                                                            \
  static const AFX_MSGMAP *GetThisMessageMap();                                                    \
  const AFX_MSGMAP *GetMessageMap() const override;

// Opens the table of `theClass`; messages not in it are looked up in the
// table of `baseClass`.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
  const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); }                \
  const AFX_MSGMAP *theClass::GetThisMessageMap() {                                                \
    using ThisClass [[maybe_unused]] = theClass;                                                   \
    using TheBaseClass = baseClass;                                                                \
    static const AFX_MSGMAP_ENTRY entries[] = {

// clang-format off
#define END_MESSAGE_MAP()                                                                          \
      {0, 0, 0, nullptr}};                                                                         \
    static const AFX_MSGMAP map = {&TheBaseClass::GetThisMessageMap, entries};                     \
    return &map;                                                                                   \
  }
// clang-format on

// WM_PAINT: afx_msg void OnPaint();
#define ON_WM_PAINT() {WM_PAINT, 0, 0, &AfxCallVoid<&ThisClass::OnPaint>},

// WM_SYSCOMMAND: afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
#define ON_WM_SYSCOMMAND() {WM_SYSCOMMAND, 0, 0, &AfxCallUintLparam<&ThisClass::OnSysCommand>},

// WM_QUERYDRAGICON: afx_msg HCURSOR OnQueryDragIcon();
// The cursor is the message's result.
#define ON_WM_QUERYDRAGICON() {WM_QUERYDRAGICON, 0, 0, &AfxCallCursor<&ThisClass::OnQueryDragIcon>},

// WM_COMMAND `id` from a menu or the dialog manager: afx_msg void memberFxn();
#define ON_COMMAND(id, memberFxn)                                                                  \
  {WM_COMMAND, CN_COMMAND, (id), &AfxCallVoid<&ThisClass::memberFxn>},

// BN_CLICKED from button `id`: afx_msg void memberFxn();
#define ON_BN_CLICKED(id, memberFxn)                                                               \
  {WM_COMMAND, BN_CLICKED, (id), &AfxCallVoid<&ThisClass::memberFxn>},

#endif
