#include "framework/AfxMsgMap.h"

const AFX_MSGMAP_ENTRY *AfxFindMessageEntry(const AFX_MSGMAP *map, UINT message, UINT code,
                                            UINT id) {
  for (; map != nullptr; map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
    for (const AFX_MSGMAP_ENTRY *entry = map->lpEntries; entry->pfnCall != nullptr; ++entry) {
      if (entry->nMessage == message && entry->nCode == code && entry->nID == id)
        return entry;
    }
  }
  return nullptr;
}

const AFX_MSGMAP *CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
  static const AFX_MSGMAP map = {nullptr, entries};
  return &map;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::OnCmdMsg(UINT nID, UINT nCode) {
  const AFX_MSGMAP_ENTRY *entry = AfxFindMessageEntry(GetMessageMap(), WM_COMMAND, nCode, nID);
  if (entry == nullptr)
    return FALSE;
  entry->pfnCall(this, 0, 0);
  return TRUE;
}
