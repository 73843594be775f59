// .reg files: parsing, and the names of roots and value types.
#include "tools/reg_file.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "platform/name_fold.h"
#include "platform/utf.h"
#include "services/value_bytes.h"

namespace zvt::tools {
namespace {

using platform::U16;
using platform::Utf16ToUtf8;

constexpr size_t kExportLineWidth = 80;  // where regedit wraps hex data

std::string Escape(const std::u16string& text) {
  std::string out;
  for (char c : Utf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// A REG_SZ that regedit can write as "text": UTF-16 with one terminator and
// no other NUL, no line breaks.
std::optional<std::u16string> PlainString(const std::vector<BYTE>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string text = Utf16FromValueBytes(data.data(), data.size());
  if (text.back() != u'\0') return std::nullopt;
  text.pop_back();
  if (text.find_first_of(std::u16string(u"\0\r\n", 3)) != std::u16string::npos) return std::nullopt;
  return text;
}

constexpr char16_t kHeader5[] = u"Windows Registry Editor Version 5.00";
constexpr char16_t kHeader4[] = u"REGEDIT4";

std::string LineError(int line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

// Splits the file into UTF-16 lines without their line ends.
bool DecodeLines(std::string_view bytes, std::vector<std::u16string>* lines, std::string* error) {
  lines->clear();
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      *error = "line 1: a UTF-16 file must have an even number of bytes";
      return false;
    }
    for (size_t i = 2; i < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    int line = 1;
    size_t start = 0;
    while (start <= bytes.size()) {
      size_t end = bytes.find('\n', start);
      if (end == std::string_view::npos) end = bytes.size();
      std::u16string part;
      if (!platform::Utf8ToUtf16(bytes.substr(start, end - start), &part)) {
        *error = LineError(line, "invalid UTF-8");
        return false;
      }
      text += part;
      if (end < bytes.size()) text.push_back(u'\n');
      start = end + 1;
      ++line;
    }
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    lines->push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

std::u16string Trim(const std::u16string& s) {
  size_t b = s.find_first_not_of(u" \t");
  if (b == std::u16string::npos) return std::u16string();
  size_t e = s.find_last_not_of(u" \t");
  return s.substr(b, e - b + 1);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads a quoted text starting at s[*pos] == '"'; regedit escapes only "\\"
// and "\"". Leaves *pos after the closing quote.
bool ReadQuoted(const std::u16string& s, size_t* pos, std::u16string* out) {
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    if (s[i] == u'\\') {
      if (i + 1 >= s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"')) return false;
      out->push_back(s[++i]);
    } else if (s[i] == u'"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(s[i]);
    }
  }
  return false;
}

bool ParseHexBytes(const std::u16string& text, std::vector<BYTE>* out) {
  out->clear();
  std::u16string body = Trim(text);
  if (body.empty()) return true;
  size_t pos = 0;
  while (true) {
    size_t comma = body.find(u',', pos);
    std::u16string item =
        Trim(body.substr(pos, comma == std::u16string::npos ? std::u16string::npos : comma - pos));
    if (item.empty() || item.size() > 2) return false;
    int value = 0;
    for (char16_t c : item) {
      int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + d;
    }
    out->push_back(static_cast<BYTE>(value));
    if (comma == std::u16string::npos) return true;
    pos = comma + 1;
  }
}

// Parses the text after "=" of a value line.
bool ParseData(const std::u16string& text, bool regedit4, RegValueEntry* value, std::string* what) {
  if (text == u"-") {
    value->remove = true;
    return true;
  }
  if (!text.empty() && text[0] == u'"') {
    size_t pos = 0;
    std::u16string str;
    if (!ReadQuoted(text, &pos, &str) || !Trim(text.substr(pos)).empty()) {
      *what = "malformed string data";
      return false;
    }
    value->type = kRegSz;
    AppendUtf16Bytes(str + u'\0', &value->data);
    return true;
  }
  if (text.rfind(u"dword:", 0) == 0) {
    std::u16string digits = text.substr(6);
    if (digits.empty() || digits.size() > 8) {
      *what = "dword data needs 1 to 8 hex digits";
      return false;
    }
    DWORD v = 0;
    for (char16_t c : digits) {
      int d = HexDigit(c);
      if (d < 0) {
        *what = "dword data needs 1 to 8 hex digits";
        return false;
      }
      v = v * 16 + static_cast<DWORD>(d);
    }
    value->type = kRegDword;
    value->data = DwordValueBytes(v);
    return true;
  }
  if (text.rfind(u"hex", 0) == 0) {
    size_t colon = text.find(u':');
    if (colon == std::u16string::npos) {
      *what = "hex data needs a ':'";
      return false;
    }
    std::u16string kind = text.substr(3, colon - 3);
    DWORD type = kRegBinary;
    if (!kind.empty()) {
      if (kind.size() < 3 || kind.front() != u'(' || kind.back() != u')' || kind.size() > 10) {
        *what = "hex type must look like hex(N)";
        return false;
      }
      type = 0;
      for (size_t i = 1; i + 1 < kind.size(); ++i) {
        int d = HexDigit(kind[i]);
        if (d < 0) {
          *what = "hex type must look like hex(N)";
          return false;
        }
        type = type * 16 + static_cast<DWORD>(d);
      }
    }
    std::vector<BYTE> bytes;
    if (!ParseHexBytes(text.substr(colon + 1), &bytes)) {
      *what = "hex data must be comma-separated bytes";
      return false;
    }
    value->type = type;
    if (regedit4 && (type == kRegExpandSz || type == kRegMultiSz)) {
      // REGEDIT4 files hold these as narrow text; the store keeps UTF-16.
      std::u16string wide;
      if (!platform::Utf8ToUtf16(std::string(bytes.begin(), bytes.end()), &wide)) {
        *what = "text bytes are not valid UTF-8";
        return false;
      }
      AppendUtf16Bytes(wide, &value->data);
    } else {
      value->data = std::move(bytes);
    }
    return true;
  }
  *what = "unrecognised value data";
  return false;
}

// A value line: "name"=data or @=data.
bool ParseValueLine(const std::u16string& line, bool regedit4, RegValueEntry* value,
                    std::string* what) {
  size_t pos = 0;
  if (line[0] == u'@') {
    pos = 1;
  } else if (line[0] == u'"') {
    if (!ReadQuoted(line, &pos, &value->name)) {
      *what = "unterminated value name";
      return false;
    }
  } else {
    *what = "expected a key in [brackets] or a value line";
    return false;
  }
  while (pos < line.size() && (line[pos] == u' ' || line[pos] == u'\t')) ++pos;
  if (pos >= line.size() || line[pos] != u'=') {
    *what = "expected '=' after the value name";
    return false;
  }
  return ParseData(Trim(line.substr(pos + 1)), regedit4, value, what);
}

}  // namespace

bool SplitRootPath(const std::u16string& full, HKEY* root, std::u16string* path) {
  size_t cut = full.find(u'\\');
  std::u16string head = platform::FoldName(full.substr(0, cut));
  if (head == u"HKEY_CURRENT_USER" || head == u"HKCU") {
    *root = kHKeyCurrentUser;
  } else if (head == u"HKEY_CLASSES_ROOT" || head == u"HKCR") {
    *root = kHKeyClassesRoot;
  } else {
    return false;
  }
  *path = cut == std::u16string::npos ? std::u16string() : full.substr(cut + 1);
  while (!path->empty() && path->back() == u'\\') path->pop_back();
  return true;
}

std::string RootName(HKEY root) {
  return root == kHKeyClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
}

std::string TypeName(DWORD type) {
  switch (type) {
    case kRegNone:
      return "REG_NONE";
    case kRegSz:
      return "REG_SZ";
    case kRegExpandSz:
      return "REG_EXPAND_SZ";
    case kRegBinary:
      return "REG_BINARY";
    case kRegDword:
      return "REG_DWORD";
    case kRegMultiSz:
      return "REG_MULTI_SZ";
    case kRegQword:
      return "REG_QWORD";
    default:
      return "type " + std::to_string(type);
  }
}

bool ParseRegFile(std::string_view bytes, RegFile* file, std::string* error) {
  file->keys.clear();
  std::vector<std::u16string> lines;
  if (!DecodeLines(bytes, &lines, error)) return false;
  size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size()) {
    *error = LineError(1, "empty file: expected \"Windows Registry Editor Version 5.00\"");
    return false;
  }
  std::u16string header = Trim(lines[i]);
  bool regedit4 = header == kHeader4;
  if (!regedit4 && header != kHeader5) {
    *error = LineError(static_cast<int>(i + 1),
                       "expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    return false;
  }
  for (++i; i < lines.size(); ++i) {
    int number = static_cast<int>(i + 1);
    std::u16string line = Trim(lines[i]);
    if (line.empty() || line[0] == u';') continue;
    if (line[0] == u'[') {
      if (line.back() != u']') {
        *error = LineError(number, "a key line must end with ']'");
        return false;
      }
      RegKeyEntry key;
      key.line = number;
      std::u16string name = line.substr(1, line.size() - 2);
      if (!name.empty() && name[0] == u'-') {
        key.remove = true;
        name.erase(0, 1);
      }
      if (!SplitRootPath(name, &key.root, &key.path)) {
        *error = LineError(number, "unknown root in \"" + Utf16ToUtf8(name) +
                                       "\": use HKEY_CURRENT_USER or HKEY_CLASSES_ROOT");
        return false;
      }
      if (key.path.empty()) {
        *error = LineError(number, "a root itself cannot be created or deleted");
        return false;
      }
      // Callers open keys by NUL-terminated name; one with a NUL inside
      // could never be opened again.
      if (key.path.find(u'\0') != std::u16string::npos) {
        *error = LineError(number, "a key name cannot hold a NUL character");
        return false;
      }
      for (size_t p = 0, n; p <= key.path.size(); p = n + 1) {
        n = key.path.find(u'\\', p);
        if (n == std::u16string::npos) n = key.path.size();
        if (n == p || n - p > kMaxKeyNameChars) {
          *error = LineError(number, "key names must have 1 to 255 characters");
          return false;
        }
      }
      file->keys.push_back(std::move(key));
      continue;
    }
    // Hex data may continue over several lines, each but the last ending in "\".
    while (!line.empty() && line.back() == u'\\' && line.find(u"=hex") != std::u16string::npos) {
      line.pop_back();
      if (++i >= lines.size()) {
        *error = LineError(number, "the file ends inside continued hex data");
        return false;
      }
      line += Trim(lines[i]);
    }
    if (file->keys.empty()) {
      *error = LineError(number, "a value line before the first [key]");
      return false;
    }
    if (file->keys.back().remove) {
      *error = LineError(number, "values under a deleted key");
      return false;
    }
    RegValueEntry value;
    std::string what;
    if (!ParseValueLine(line, regedit4, &value, &what)) {
      *error = LineError(number, what);
      return false;
    }
    file->keys.back().values.push_back(std::move(value));
  }
  return true;
}

std::string FormatValueData(DWORD type, const std::vector<BYTE>& data) {
  auto utf16 = [&data]() { return Utf16FromValueBytes(data.data(), data.size()); };
  if ((type == kRegSz || type == kRegExpandSz) && data.size() % 2 == 0) {
    std::u16string text = utf16();
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return Utf16ToUtf8(text);
  }
  if (type == kRegMultiSz && data.size() % 2 == 0) {
    std::u16string text = utf16();
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    std::string out;
    for (char c : Utf16ToUtf8(text)) out += c == '\0' ? std::string("\\0") : std::string(1, c);
    return out;
  }
  if (uint64_t v = 0; type == kRegDword && IntegerFromValueBytes(data.data(), data.size(), 4, &v)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08x (%u)", static_cast<unsigned>(v),
                  static_cast<unsigned>(v));
    return buf;
  }
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : " ", data[i]);
    out += byte;
  }
  return out;
}

void AppendRegValue(const std::u16string& name, DWORD type, const std::vector<BYTE>& data,
                    std::string* out) {
  std::string line = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
  if (type == kRegSz) {
    if (auto text = PlainString(data)) {
      *out += line + "\"" + Escape(*text) + "\"\n";
      return;
    }
  }
  if (uint64_t v = 0; type == kRegDword && IntegerFromValueBytes(data.data(), data.size(), 4, &v)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v));
    *out += line + buf + "\n";
    return;
  }
  char kind[16];
  if (type == kRegBinary)
    std::snprintf(kind, sizeof kind, "hex:");
  else
    std::snprintf(kind, sizeof kind, "hex(%x):", type);
  line += kind;
  for (size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    bool last = i + 1 == data.size();
    if (line.size() + 3 + (last ? 0 : 2) > kExportLineWidth) {
      *out += line + "\\\n";
      line = "  ";
    }
    line += byte;
    if (!last) line += ",";
  }
  *out += line + "\n";
}

}  // namespace zvt::tools
