// Reads the compiled resources back out of Tailsnip.exe and checks every
// value of the two dialog templates, the About entry's string, the icon
// group and the version block. The bytes are parsed here rather than
// trusted to the dialog manager, so that a wrong style bit or a size off by
// one unit fails even where Windows would still show a usable window.
//
//   resource_checks Tailsnip.exe

#include "../wine_test.h"
#include "tailsnip_version.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const WORD kEnglishUs = 1033;
const WORD kButtonAtom = 0x0080;
const WORD kStaticAtom = 0x0082;

// Walks a resource's bytes; reading past the end yields zeros and is
// remembered, so that a truncated resource fails one check instead of
// crashing the run.
class Reader {
public:
  Reader(const BYTE *data, DWORD size)
      : begin_(data), at_(data), end_(data + size) {}

  WORD word() { return static_cast<WORD>(take(2)); }
  DWORD dword() { return static_cast<DWORD>(take(4)); }
  short signedWord() { return static_cast<short>(word()); }
  BYTE byte() { return static_cast<BYTE>(take(1)); }

  std::wstring text() {
    std::wstring result;
    for (WORD c = word(); c != 0 && !overrun_; c = word())
      result += static_cast<wchar_t>(c);
    return result;
  }

  void alignTo(size_t boundary) {
    size_t offset = static_cast<size_t>(at_ - begin_);
    skip((boundary - offset % boundary) % boundary);
  }

  void skip(size_t bytes) {
    if (static_cast<size_t>(end_ - at_) < bytes) {
      overrun_ = true;
      at_ = end_;
    } else {
      at_ += bytes;
    }
  }

  const BYTE *position() const { return at_; }
  size_t offset() const { return static_cast<size_t>(at_ - begin_); }
  bool overrun() const { return overrun_; }

private:
  unsigned long take(size_t bytes) {
    unsigned long value = 0;
    if (static_cast<size_t>(end_ - at_) < bytes) {
      overrun_ = true;
      at_ = end_;
      return 0;
    }
    for (size_t i = 0; i < bytes; ++i)
      value |= static_cast<unsigned long>(at_[i]) << (8 * i);
    at_ += bytes;
    return value;
  }

  const BYTE *begin_;
  const BYTE *at_;
  const BYTE *end_;
  bool overrun_ = false;
};

// A template field that holds either a resource number or a string.
struct NameOrOrdinal {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::wstring text;

  bool isAbsent() const { return !isOrdinal && text.empty(); }
};

NameOrOrdinal ReadNameOrOrdinal(Reader &reader) {
  NameOrOrdinal field;
  WORD first = reader.word();
  if (first == 0xFFFF) {
    field.isOrdinal = true;
    field.ordinal = reader.word();
  } else if (first != 0) {
    field.text = static_cast<wchar_t>(first);
    field.text += reader.text();
  }
  return field;
}

std::string Describe(const NameOrOrdinal &field) {
  char buffer[300];
  if (field.isOrdinal)
    std::snprintf(buffer, sizeof buffer, "ordinal %u", field.ordinal);
  else
    std::snprintf(buffer, sizeof buffer, "\"%ls\"", field.text.c_str());
  return buffer;
}

struct DialogItem {
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD id = 0;
  NameOrOrdinal windowClass;
  NameOrOrdinal title;
  WORD creationDataSize = 0;
};

struct Dialog {
  bool extended = false;
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  NameOrOrdinal menu;
  NameOrOrdinal windowClass;
  std::wstring title;
  WORD pointSize = 0;
  WORD weight = 0;
  BYTE italic = 0;
  BYTE charset = 0;
  std::wstring typeface;
  std::vector<DialogItem> items;
  bool truncated = false;
};

// Both layouts: the classic DLGTEMPLATE and the extended one that starts
// with version 1 and the signature 0xFFFF.
Dialog ParseDialog(const BYTE *data, DWORD size) {
  Reader reader(data, size);
  Dialog dialog;
  dialog.extended = size >= 4 && data[0] == 1 && data[1] == 0 &&
                    data[2] == 0xFF && data[3] == 0xFF;
  if (dialog.extended) {
    reader.skip(4 + 4); // version, signature, help id
    dialog.exStyle = reader.dword();
    dialog.style = reader.dword();
  } else {
    dialog.style = reader.dword();
    dialog.exStyle = reader.dword();
  }
  WORD itemCount = reader.word();
  dialog.x = reader.signedWord();
  dialog.y = reader.signedWord();
  dialog.cx = reader.signedWord();
  dialog.cy = reader.signedWord();
  dialog.menu = ReadNameOrOrdinal(reader);
  dialog.windowClass = ReadNameOrOrdinal(reader);
  dialog.title = reader.text();
  if (dialog.style & DS_SETFONT) {
    dialog.pointSize = reader.word();
    if (dialog.extended) {
      dialog.weight = reader.word();
      dialog.italic = reader.byte();
      dialog.charset = reader.byte();
    }
    dialog.typeface = reader.text();
  }
  for (WORD i = 0; i < itemCount && !reader.overrun(); ++i) {
    reader.alignTo(4);
    DialogItem item;
    if (dialog.extended) {
      reader.skip(4); // help id
      item.exStyle = reader.dword();
      item.style = reader.dword();
    } else {
      item.style = reader.dword();
      item.exStyle = reader.dword();
    }
    item.x = reader.signedWord();
    item.y = reader.signedWord();
    item.cx = reader.signedWord();
    item.cy = reader.signedWord();
    item.id = dialog.extended ? reader.dword() : reader.word();
    item.windowClass = ReadNameOrOrdinal(reader);
    item.title = ReadNameOrOrdinal(reader);
    item.creationDataSize = reader.word();
    reader.skip(item.creationDataSize);
    dialog.items.push_back(item);
  }
  dialog.truncated = reader.overrun();
  return dialog;
}

struct Resource {
  const BYTE *data = nullptr;
  DWORD size = 0;
};

Resource ResourceInLanguage(HMODULE module, LPCWSTR type, LPCWSTR name,
                            WORD language) {
  HRSRC found = FindResourceExW(module, type, name, language);
  if (!found)
    return {};
  HGLOBAL loaded = LoadResource(module, found);
  return {static_cast<const BYTE *>(LockResource(loaded)),
          SizeofResource(module, found)};
}

Resource ResourceInAnyLanguage(HMODULE module, LPCWSTR type, LPCWSTR name) {
  HRSRC found = FindResourceW(module, name, type);
  if (!found)
    return {};
  HGLOBAL loaded = LoadResource(module, found);
  return {static_cast<const BYTE *>(LockResource(loaded)),
          SizeofResource(module, found)};
}

// The resource compiler may write a predefined class either as its atom or
// by name; the dialog manager treats both alike.
bool IsClass(const NameOrOrdinal &windowClass, WORD atom, const wchar_t *name) {
  if (windowClass.isOrdinal)
    return windowClass.ordinal == atom;
  return _wcsicmp(windowClass.text.c_str(), name) == 0;
}

struct ExpectedItem {
  DWORD id;
  WORD classAtom;
  const wchar_t *className;
  // Exactly one of these describes the title: a resource number, a fixed
  // text, or (both empty) any non-empty text of our own wording.
  WORD titleOrdinal;
  const wchar_t *titleText;
  short x, y, cx, cy;
  DWORD style;
};

void CheckItem(int dialogId, size_t index, const DialogItem &item,
               const ExpectedItem &expected) {
  ok(item.id == expected.id, "dialog %d control %u: expected id %lu, got %lu\n",
     dialogId, unsigned(index), expected.id, item.id);
  ok(IsClass(item.windowClass, expected.classAtom, expected.className),
     "dialog %d control %u: expected class %ls, got %s\n", dialogId,
     unsigned(index), expected.className, Describe(item.windowClass).c_str());
  if (expected.titleOrdinal != 0) {
    ok(item.title.isOrdinal && item.title.ordinal == expected.titleOrdinal,
       "dialog %d control %u: expected title ordinal %u, got %s\n", dialogId,
       unsigned(index), expected.titleOrdinal, Describe(item.title).c_str());
  } else if (expected.titleText != nullptr) {
    ok(!item.title.isOrdinal && item.title.text == expected.titleText,
       "dialog %d control %u: expected title \"%ls\", got %s\n", dialogId,
       unsigned(index), expected.titleText, Describe(item.title).c_str());
  } else {
    ok(!item.title.isOrdinal && !item.title.text.empty(),
       "dialog %d control %u: expected a non-empty text, got %s\n", dialogId,
       unsigned(index), Describe(item.title).c_str());
  }
  ok(item.x == expected.x && item.y == expected.y,
     "dialog %d control %u: expected position (%d,%d), got (%d,%d)\n", dialogId,
     unsigned(index), expected.x, expected.y, item.x, item.y);
  ok(item.cx == expected.cx && item.cy == expected.cy,
     "dialog %d control %u: expected size %dx%d, got %dx%d\n", dialogId,
     unsigned(index), expected.cx, expected.cy, item.cx, item.cy);
  ok(item.style == expected.style,
     "dialog %d control %u: expected style 0x%08lx, got 0x%08lx\n", dialogId,
     unsigned(index), expected.style, item.style);
  ok(item.exStyle == 0,
     "dialog %d control %u: expected no extended style, got 0x%08lx\n",
     dialogId, unsigned(index), item.exStyle);
  ok(item.creationDataSize == 0,
     "dialog %d control %u: expected no creation data, got %u bytes\n",
     dialogId, unsigned(index), item.creationDataSize);
}

void CheckItems(int dialogId, const Dialog &dialog,
                const std::vector<ExpectedItem> &expected) {
  ok(dialog.items.size() == expected.size(),
     "dialog %d: expected %u controls, got %u\n", dialogId,
     unsigned(expected.size()), unsigned(dialog.items.size()));
  for (size_t i = 0; i < dialog.items.size() && i < expected.size(); ++i)
    CheckItem(dialogId, i, dialog.items[i], expected[i]);
}

void CheckFont(int dialogId, const Dialog &dialog) {
  ok(dialog.typeface == L"MS Sans Serif",
     "dialog %d: expected font \"MS Sans Serif\", got \"%ls\"\n", dialogId,
     dialog.typeface.c_str());
  ok(dialog.pointSize == 8, "dialog %d: expected 8 points, got %u\n", dialogId,
     dialog.pointSize);
}

void CheckMainDialog(HMODULE module) {
  Resource resource =
      ResourceInAnyLanguage(module, RT_DIALOG, MAKEINTRESOURCEW(102));
  if (!ok(resource.data != nullptr,
          "expected dialog template 102, found none\n"))
    return;
  Dialog dialog = ParseDialog(resource.data, resource.size);
  ok(!dialog.truncated, "dialog 102: template is cut short (%lu bytes)\n",
     resource.size);
  ok(dialog.extended,
     "dialog 102: expected an extended template, got a classic one\n");
  ok(dialog.style == 0x90C800C0,
     "dialog 102: expected style 0x90c800c0, got 0x%08lx\n", dialog.style);
  ok(dialog.exStyle == 0x00040000,
     "dialog 102: expected extended style 0x00040000, got 0x%08lx\n",
     dialog.exStyle);
  ok(dialog.x == 0 && dialog.y == 0,
     "dialog 102: expected position (0,0), got (%d,%d)\n", dialog.x, dialog.y);
  ok(dialog.cx == 169 && dialog.cy == 83,
     "dialog 102: expected size 169x83, got %dx%d\n", dialog.cx, dialog.cy);
  CheckFont(102, dialog);
  ok(dialog.weight == 0, "dialog 102: expected font weight 0, got %u\n",
     dialog.weight);
  ok(dialog.italic == 0, "dialog 102: expected upright font, got italic %u\n",
     dialog.italic);
  ok(dialog.charset == 1, "dialog 102: expected character set 1, got %u\n",
     dialog.charset);
  ok(!dialog.title.empty(), "dialog 102: expected a caption, got none\n");
  ok(dialog.menu.isAbsent(), "dialog 102: expected no menu, got %s\n",
     Describe(dialog.menu).c_str());
  ok(dialog.windowClass.isAbsent(),
     "dialog 102: expected the standard class, got %s\n",
     Describe(dialog.windowClass).c_str());
  CheckItems(102, dialog,
             {
                 {1000, kButtonAtom, L"Button", 0, L"Open", 13, 15, 124, 37,
                  0x50010000},
             });
}

void CheckAboutDialog(HMODULE module) {
  Resource resource =
      ResourceInAnyLanguage(module, RT_DIALOG, MAKEINTRESOURCEW(100));
  if (!ok(resource.data != nullptr,
          "expected dialog template 100, found none\n"))
    return;
  Dialog dialog = ParseDialog(resource.data, resource.size);
  ok(!dialog.truncated, "dialog 100: template is cut short (%lu bytes)\n",
     resource.size);
  ok(!dialog.extended,
     "dialog 100: expected a classic template, got an extended one\n");
  ok(dialog.style == 0x80C800C0,
     "dialog 100: expected style 0x80c800c0, got 0x%08lx\n", dialog.style);
  ok(dialog.exStyle == 0,
     "dialog 100: expected no extended style, got 0x%08lx\n", dialog.exStyle);
  ok(dialog.x == 0 && dialog.y == 0,
     "dialog 100: expected position (0,0), got (%d,%d)\n", dialog.x, dialog.y);
  ok(dialog.cx == 235 && dialog.cy == 55,
     "dialog 100: expected size 235x55, got %dx%d\n", dialog.cx, dialog.cy);
  ok(dialog.title == L"About Tailsnip",
     "dialog 100: expected caption \"About Tailsnip\", got \"%ls\"\n",
     dialog.title.c_str());
  CheckFont(100, dialog);
  ok(dialog.menu.isAbsent(), "dialog 100: expected no menu, got %s\n",
     Describe(dialog.menu).c_str());
  ok(dialog.windowClass.isAbsent(),
     "dialog 100: expected the standard class, got %s\n",
     Describe(dialog.windowClass).c_str());
  const DWORD noId = 0xFFFF;
  CheckItems(
      100, dialog,
      {
          {noId, kStaticAtom, L"Static", 128, nullptr, 11, 17, 20, 20,
           0x50000003},
          {noId, kStaticAtom, L"Static", 0, L"Tailsnip Version " TAILSNIP_VERSION_SHORT, 40, 10,
           119, 8, 0x50020080},
          {noId, kStaticAtom, L"Static", 0, nullptr, 40, 25, 119, 8,
           0x50020000},
          {IDOK, kButtonAtom, L"Button", 0, L"OK", 178, 7, 50, 14, 0x50030001},
      });
}

void CheckAboutEntryString(HMODULE module) {
  // Strings are stored in blocks of sixteen; string n is entry n % 16 of
  // block n / 16 + 1, each entry a length followed by that many characters.
  const UINT stringId = 101;
  Resource block = ResourceInLanguage(
      module, RT_STRING, MAKEINTRESOURCEW(stringId / 16 + 1), kEnglishUs);
  if (!ok(block.data != nullptr,
          "expected the string block of string %u in language %u, found none\n",
          stringId, kEnglishUs))
    return;
  Reader reader(block.data, block.size);
  std::wstring text;
  for (UINT index = 0; index <= stringId % 16; ++index) {
    WORD length = reader.word();
    text.clear();
    for (WORD i = 0; i < length; ++i)
      text += static_cast<wchar_t>(reader.word());
  }
  ok(!reader.overrun(), "string block of string %u is cut short (%lu bytes)\n",
     stringId, block.size);
  ok(text == L"&About Tailsnip...",
     "string %u: expected \"&About Tailsnip...\", got \"%ls\"\n", stringId,
     text.c_str());
}

void CheckIconImage(HMODULE module, WORD iconId, BYTE size) {
  Resource image =
      ResourceInAnyLanguage(module, RT_ICON, MAKEINTRESOURCEW(iconId));
  if (!ok(image.data != nullptr, "icon image %u of group 128 is missing\n",
          iconId))
    return;
  if (!ok(image.size >= sizeof(BITMAPINFOHEADER),
          "icon image %u: expected a bitmap header, got %lu bytes\n", iconId,
          image.size))
    return;
  BITMAPINFOHEADER header;
  std::memcpy(&header, image.data, sizeof header);
  // An icon's bitmap is twice as high as the icon: colour rows, then mask rows.
  ok(header.biWidth == size && header.biHeight == 2 * size,
     "icon image %u: expected a %ux%u bitmap, got %ldx%ld (half height)\n",
     iconId, size, size, header.biWidth, header.biHeight / 2);
  ok(header.biBitCount == 4,
     "icon image %u: expected 4 bits per pixel, got %u\n", iconId,
     header.biBitCount);
  HICON icon =
      CreateIconFromResourceEx(const_cast<BYTE *>(image.data), image.size, TRUE,
                               0x00030000, size, size, LR_DEFAULTCOLOR);
  ok(icon != nullptr,
     "icon image %u: expected Windows to accept it, error %lu\n", iconId,
     GetLastError());
  if (icon)
    DestroyIcon(icon);
}

void CheckIconGroup(HMODULE module) {
  Resource group = ResourceInLanguage(module, RT_GROUP_ICON,
                                      MAKEINTRESOURCEW(128), kEnglishUs);
  if (!ok(group.data != nullptr,
          "expected icon group 128 in language %u, found none\n", kEnglishUs))
    return;
  Reader reader(group.data, group.size);
  WORD reserved = reader.word();
  WORD type = reader.word();
  WORD count = reader.word();
  ok(reserved == 0 && type == 1,
     "icon group 128: expected header 0/1, got %u/%u\n", reserved, type);
  ok(count == 2, "icon group 128: expected 2 images, got %u\n", count);
  bool seen32 = false, seen16 = false;
  for (WORD i = 0; i < count && !reader.overrun(); ++i) {
    BYTE width = reader.byte();
    BYTE height = reader.byte();
    BYTE colours = reader.byte();
    reader.byte();
    reader.word(); // planes
    WORD bitCount = reader.word();
    reader.dword(); // bytes in resource
    WORD iconId = reader.word();
    ok(width == height && (width == 32 || width == 16),
       "icon group 128 entry %u: expected 32x32 or 16x16, got %ux%u\n", i,
       width, height);
    ok(colours == 16 || bitCount == 4,
       "icon group 128 entry %u: expected 16 colours, got %u colours at %u "
       "bpp\n",
       i, colours, bitCount);
    seen32 |= width == 32;
    seen16 |= width == 16;
    CheckIconImage(module, iconId, width);
  }
  ok(!reader.overrun(), "icon group 128 is cut short (%lu bytes)\n",
     group.size);
  ok(seen32 && seen16,
     "icon group 128: expected a 32x32 and a 16x16 image, got 32x32 %s, 16x16 "
     "%s\n",
     seen32 ? "yes" : "no", seen16 ? "yes" : "no");
}

// One node of a version block: a key, a value (binary or text) and children.
struct VersionNode {
  std::wstring key;
  WORD type = 0;
  const BYTE *value = nullptr;
  WORD valueLength = 0;
  std::vector<VersionNode> children;
};

// Returns the node's length in bytes, or 0 when it does not fit in what is
// available.
size_t ParseVersionNode(const BYTE *data, size_t available, VersionNode &node) {
  Reader header(data, static_cast<DWORD>(available));
  WORD length = header.word();
  if (header.overrun() || length > available || length < 6)
    return 0;
  Reader inside(data, length);
  inside.skip(2);
  node.valueLength = inside.word();
  node.type = inside.word();
  node.key = inside.text();
  inside.alignTo(4);
  node.value = inside.position();
  // Text values count characters, binary ones count bytes.
  inside.skip(node.type == 1 ? node.valueLength * 2u : node.valueLength);
  // The padding after the last value or child may lie outside the node.
  if (inside.offset() < length)
    inside.alignTo(4);
  while (!inside.overrun() && inside.offset() < length) {
    VersionNode child;
    size_t childLength =
        ParseVersionNode(inside.position(), length - inside.offset(), child);
    if (childLength == 0)
      return 0;
    node.children.push_back(child);
    inside.skip(childLength);
    if (inside.offset() < length)
      inside.alignTo(4);
  }
  return inside.overrun() ? 0 : length;
}

const VersionNode *ChildNode(const VersionNode &node, const wchar_t *key) {
  for (const VersionNode &candidate : node.children)
    if (candidate.key == key)
      return &candidate;
  return nullptr;
}

std::wstring TextValue(const VersionNode &node) {
  std::wstring text;
  const BYTE *at = node.value;
  for (WORD i = 0; i < node.valueLength; ++i, at += 2) {
    wchar_t c = static_cast<wchar_t>(at[0] | at[1] << 8);
    if (c == 0)
      break;
    text += c;
  }
  return text;
}

void CheckFixedVersion(const VersionNode &root) {
  if (!ok(root.valueLength == sizeof(VS_FIXEDFILEINFO),
          "version: expected fixed info of %u bytes, got %u\n",
          unsigned(sizeof(VS_FIXEDFILEINFO)), root.valueLength))
    return;
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, root.value, sizeof fixed);
  ok(fixed.dwSignature == 0xFEEF04BD,
     "version: expected signature 0xfeef04bd, got 0x%08lx\n",
     fixed.dwSignature);
  // The project's version, as CMake's project() has it.
  const DWORD high = MAKELONG(TAILSNIP_VERSION_MINOR, TAILSNIP_VERSION_MAJOR);
  const DWORD low = MAKELONG(TAILSNIP_VERSION_TWEAK, TAILSNIP_VERSION_PATCH);
  ok(fixed.dwFileVersionMS == high && fixed.dwFileVersionLS == low,
     "version: expected file version %s, got %lu, %lu, %lu, %lu\n",
     TAILSNIP_VERSION_LIST, fixed.dwFileVersionMS >> 16,
     fixed.dwFileVersionMS & 0xFFFF, fixed.dwFileVersionLS >> 16,
     fixed.dwFileVersionLS & 0xFFFF);
  ok(fixed.dwProductVersionMS == high && fixed.dwProductVersionLS == low,
     "version: expected product version %s, got %lu, %lu, %lu, %lu\n",
     TAILSNIP_VERSION_LIST, fixed.dwProductVersionMS >> 16,
     fixed.dwProductVersionMS & 0xFFFF, fixed.dwProductVersionLS >> 16,
     fixed.dwProductVersionLS & 0xFFFF);
  ok(fixed.dwFileFlagsMask == 0x3F,
     "version: expected flags mask 0x3f, got 0x%lx\n", fixed.dwFileFlagsMask);
  ok(fixed.dwFileFlags == 0, "version: expected no flags, got 0x%lx\n",
     fixed.dwFileFlags);
  ok(fixed.dwFileOS == 4, "version: expected operating system 4, got 0x%lx\n",
     fixed.dwFileOS);
  ok(fixed.dwFileType == 1, "version: expected file type 1, got %lu\n",
     fixed.dwFileType);
}

void CheckVersionStrings(const VersionNode &root) {
  const VersionNode *stringInfo = ChildNode(root, L"StringFileInfo");
  if (!ok(stringInfo != nullptr,
          "version: expected StringFileInfo, found none\n"))
    return;
  ok(stringInfo->children.size() == 1,
     "version: expected one string table, got %u\n",
     unsigned(stringInfo->children.size()));
  const VersionNode *table = ChildNode(*stringInfo, L"040904B0");
  if (!ok(table != nullptr,
          "version: expected string table \"040904B0\", found none\n"))
    return;
  struct Expected {
    const wchar_t *key;
    const wchar_t *value; // null: any non-empty text of our own wording
  };
  const Expected expected[] = {
      {L"CompanyName", L""},
      {L"FileDescription", L"Tailsnip MFC Application"},
      {L"FileVersion", L"" TAILSNIP_VERSION_LIST},
      {L"InternalName", L"Tailsnip"},
      {L"LegalCopyright", nullptr},
      {L"LegalTrademarks", L""},
      {L"OriginalFilename", L"Tailsnip.EXE"},
      {L"ProductName", L"Tailsnip Application"},
      {L"ProductVersion", L"" TAILSNIP_VERSION_LIST},
  };
  ok(table->children.size() == sizeof expected / sizeof *expected,
     "version: expected %u strings, got %u\n",
     unsigned(sizeof expected / sizeof *expected),
     unsigned(table->children.size()));
  for (const Expected &entry : expected) {
    const VersionNode *value = ChildNode(*table, entry.key);
    if (!ok(value != nullptr, "version: expected string %ls, found none\n",
            entry.key))
      continue;
    std::wstring text = TextValue(*value);
    if (entry.value)
      ok(text == entry.value, "version: expected %ls \"%ls\", got \"%ls\"\n",
         entry.key, entry.value, text.c_str());
    else
      ok(!text.empty(), "version: expected a non-empty %ls, got an empty one\n",
         entry.key);
  }
}

void CheckVersionTranslation(const VersionNode &root) {
  const VersionNode *varInfo = ChildNode(root, L"VarFileInfo");
  if (!ok(varInfo != nullptr, "version: expected VarFileInfo, found none\n"))
    return;
  const VersionNode *translation = ChildNode(*varInfo, L"Translation");
  if (!ok(translation != nullptr,
          "version: expected a Translation value, found none\n"))
    return;
  if (!ok(translation->valueLength == 4,
          "version: expected one translation (4 bytes), got %u bytes\n",
          translation->valueLength))
    return;
  WORD language =
      static_cast<WORD>(translation->value[0] | translation->value[1] << 8);
  WORD codePage =
      static_cast<WORD>(translation->value[2] | translation->value[3] << 8);
  ok(language == 0x0409 && codePage == 1200,
     "version: expected translation 0x0409/1200, got 0x%04x/%u\n", language,
     codePage);
}

void CheckVersion(HMODULE module) {
  Resource resource = ResourceInAnyLanguage(module, RT_VERSION,
                                            MAKEINTRESOURCEW(VS_VERSION_INFO));
  if (!ok(resource.data != nullptr, "expected a version block, found none\n"))
    return;
  VersionNode root;
  bool complete = ParseVersionNode(resource.data, resource.size, root) != 0;
  ok(complete, "version block is cut short or malformed (%lu bytes)\n",
     resource.size);
  ok(root.key == L"VS_VERSION_INFO",
     "version: expected key VS_VERSION_INFO, got \"%ls\"\n", root.key.c_str());
  CheckFixedVersion(root);
  CheckVersionStrings(root);
  CheckVersionTranslation(root);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::printf("usage: resource_checks Tailsnip.exe\n");
    return 2;
  }
  std::wstring path = wine_test::windowsPathFromArgument(argv[1]);
  HMODULE module =
      LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (ok(module != nullptr, "expected to load %ls, error %lu\n", path.c_str(),
         GetLastError())) {
    CheckMainDialog(module);
    CheckAboutDialog(module);
    CheckAboutEntryString(module);
    CheckIconGroup(module);
    CheckVersion(module);
    FreeLibrary(module);
  }
  return wine_test::finish();
}
