// The host store's JSON file (docs/host-json.md): checked against its schema
// before anything is written, each fault named by its place in the file; and
// a function's JSON form, which export writes.
#include "hostd/host_json.h"

#include <cctype>
#include <ctime>
#include <initializer_list>

#include "hostd/host_store.h"

namespace zvt::hostd {
namespace {

// One step of a path into the document: an object key or an array index.
struct Step {
  std::string key;
  size_t index = 0;
  bool is_key = false;
};
using Path = std::vector<Step>;

std::string PathText(const Path& path) {
  std::string text;
  for (const Step& s : path) {
    if (s.is_key)
      text += (text.empty() ? "" : ".") + s.key;
    else
      text += "[" + std::to_string(s.index) + "]";
  }
  return text.empty() ? "the document" : text;
}

// Finds where the value at `path` starts in `text` (which parses), or with
// `at_key` where the key that ends the path stands, as "line L, column C".
// A small scanner that follows the document's nesting.
class Locator {
 public:
  Locator(const std::string& text, bool at_key) : text_(text), at_key_(at_key) {}

  std::string Find(const Path& path) {
    pos_ = 0;
    if (!Value(path, 0)) return "";
    size_t line = 1, column = 1;
    for (size_t i = 0; i < found_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
  }

 private:
  void Space() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  std::string String() {  // at the opening quote; returns the raw contents
    size_t start = ++pos_;
    while (pos_ < text_.size() && text_[pos_] != '"') pos_ += text_[pos_] == '\\' ? 2 : 1;
    return text_.substr(start, pos_++ - start);
  }
  void Skip() {  // any value
    Space();
    if (pos_ >= text_.size()) return;
    char c = text_[pos_];
    if (c == '"') {
      String();
    } else if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++pos_;
      Space();
      if (pos_ < text_.size() && text_[pos_] == close) {
        ++pos_;
        return;
      }
      while (pos_ < text_.size()) {
        if (c == '{') {
          Space();
          String();
          Space();
          ++pos_;  // ':'
        }
        Skip();
        Space();
        if (pos_ < text_.size() && text_[pos_++] == close) return;
      }
    } else {
      while (pos_ < text_.size() &&
             std::string(",]} \t\r\n").find(text_[pos_]) == std::string::npos)
        ++pos_;
    }
  }
  // The value at path[depth..] within the value at pos_.
  bool Value(const Path& path, size_t depth) {
    Space();
    if (depth == path.size()) {
      found_ = pos_;
      return true;
    }
    if (pos_ >= text_.size()) return false;
    const Step& step = path[depth];
    char open = text_[pos_];
    if (open != (step.is_key ? '{' : '[')) return false;
    ++pos_;
    for (size_t i = 0;; ++i) {
      Space();
      if (pos_ >= text_.size() || text_[pos_] == '}' || text_[pos_] == ']') return false;
      if (step.is_key) {
        size_t key_at = pos_;
        std::string key = String();
        Space();
        ++pos_;  // ':'
        // An unknown key is shown where the key itself stands.
        if (key == step.key) {
          if (depth + 1 == path.size() && at_key_) {
            found_ = key_at;
            return true;
          }
          return Value(path, depth + 1);
        }
      } else if (i == step.index) {
        return Value(path, depth + 1);
      }
      Skip();
      Space();
      if (pos_ < text_.size() && text_[pos_] == ',') ++pos_;
    }
  }

 private:
  const std::string& text_;
  const bool at_key_;
  size_t pos_ = 0;
  size_t found_ = 0;
};

// The path of `key` within the object at `path`.
Path Within(const Path& path, const std::string& key) {
  Path at = path;
  at.push_back({key, 0, true});
  return at;
}

// A coded field given as a digit number means the digit as text: 1 is "1".
void DigitAsText(nlohmann::json* value) {
  if (value->is_number_unsigned() && value->get<uint64_t>() <= 9)
    *value = std::to_string(value->get<int>());
}

class Checker {
 public:
  explicit Checker(const std::string& text) : text_(text) {}

  // Records the first fault: what is wrong with the value at `path`.
  bool Fail(const Path& path, const std::string& what, bool at_key = false) {
    if (!error_.empty()) return false;
    std::string where = Locator(text_, at_key).Find(path);
    error_ = PathText(path) + (where.empty() ? "" : " (" + where + ")") + ": " + what;
    return false;
  }

  // Refuses keys of `object` other than `known`.
  bool Keys(const nlohmann::json& object, const Path& path,
            std::initializer_list<const char*> known) {
    for (const auto& [key, value] : object.items()) {
      bool ok = false;
      for (const char* k : known) ok = ok || key == k;
      if (!ok) {
        std::string list;
        for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
        return Fail(Within(path, key), "unknown key \"" + key + "\" (known: " + list + ")", true);
      }
    }
    return true;
  }

  // A string of 0 to `max` characters, when present.
  bool Text(nlohmann::json* object, const Path& path, const char* key, size_t max) {
    auto it = object->find(key);
    if (it == object->end()) return true;
    const Path at = Within(path, key);
    if (!it->is_string()) return Fail(at, "must be a string");
    if (it->get_ref<const std::string&>().size() > max)
      return Fail(at, "must have at most " + std::to_string(max) + " characters");
    return true;
  }

  // A coded one-character field, given as a string or as a number with the
  // same meaning ("1" or 1); stored as the string.
  bool Code(nlohmann::json* object, const Path& path, const char* key,
            std::initializer_list<const char*> allowed) {
    auto it = object->find(key);
    if (it == object->end()) return true;
    const Path at = Within(path, key);
    DigitAsText(&*it);
    std::string list;
    for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
    if (!it->is_string()) return Fail(at, "must be one of " + list + " (a string or a number)");
    for (const char* a : allowed)
      if (*it == a) return true;
    return Fail(at, "must be one of " + list);
  }

  bool UnsignedField(nlohmann::json* object, const Path& path, const char* key, uint64_t max) {
    auto it = object->find(key);
    if (it == object->end()) return true;
    const Path at = Within(path, key);
    if (!it->is_number_unsigned() || it->get<uint64_t>() > max)
      return Fail(at, "must be a whole number from 0 to " + std::to_string(max));
    return true;
  }

  // Calls `each` with every entry of the array `key` of the document, when
  // there is one, and the entry's path; every entry must be an object.
  // False at the first fault.
  template <typename Each>
  bool Entries(nlohmann::json* document, const char* key, Each each) {
    auto it = document->find(key);
    if (it == document->end()) return true;
    if (!it->is_array()) return Fail({{key, 0, true}}, "must be an array");
    for (size_t i = 0; i < it->size(); ++i) {
      Path at = {{key, 0, true}, {"", i, false}};
      nlohmann::json& entry = (*it)[i];
      if (!entry.is_object()) return Fail(at, "must be an object");
      if (!each(entry, at)) return false;
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  const std::string& text_;
  std::string error_;
};

}  // namespace

bool CheckHostJson(const std::string& text, nlohmann::json* document, std::string* error) {
  try {
    *document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    // Bad syntax or a number out of range; the parser's message names the
    // line and column.
    std::string what = e.what();
    size_t cut = what.find("] ");
    *error = "not JSON: " + (cut == std::string::npos ? what : what.substr(cut + 2));
    return false;
  }
  Checker check(text);
  auto done = [&](bool ok) {
    if (!ok) *error = check.error();
    return ok;
  };
  if (!document->is_object()) return done(check.Fail({}, "must be a JSON object"));
  if (!check.Keys(*document, {}, {"host", "functions", "profiles", "usage"})) return done(false);

  if (auto h = document->find("host"); h != document->end()) {
    Path at = {{"host", 0, true}};
    if (!h->is_object()) return done(check.Fail(at, "must be an object"));
    if (!check.Keys(*h, at, {"name", "version", "release"}) || !check.Text(&*h, at, "name", 255) ||
        !check.UnsignedField(&*h, at, "version", 0xFFFFFFFFu) ||
        !check.UnsignedField(&*h, at, "release", 0xFFFFFFFFu))
      return done(false);
  }

  auto function = [&](nlohmann::json& f, const Path& at) {
    if (!check.Keys(f, at,
                    {"id", "category", "type", "root", "parent", "name", "name2", "description",
                     "description2", "indicators", "default_usage"}))
      return false;
    if (!f.contains("id")) return check.Fail(at, "has no \"id\"");
    if (!check.Text(&f, at, "id", 30) || !check.Text(&f, at, "root", 30) ||
        !check.Text(&f, at, "parent", 30) || !check.Text(&f, at, "name", 330) ||
        !check.Text(&f, at, "name2", 330) || !check.Text(&f, at, "description", 330) ||
        !check.Text(&f, at, "description2", 330) || !check.Code(&f, at, "type", {"1", "2", "3"}) ||
        !check.Code(&f, at, "default_usage", {"1", "2"}))
      return false;
    if (auto c = f.find("category"); c != f.end()) {
      DigitAsText(&*c);
      if (!c->is_string() || c->get_ref<const std::string&>().size() != 1)
        return check.Fail(Within(at, "category"),
                          "must be one character (a string, or a digit as a number)");
    }
    if (auto ind = f.find("indicators"); ind != f.end()) {
      bool ok = ind->is_array() && ind->size() == 3;
      for (size_t k = 0; ok && k < 3; ++k) {
        nlohmann::json& one = (*ind)[k];
        DigitAsText(&one);
        ok = one.is_string() && one.get_ref<const std::string&>().size() == 1;
      }
      if (!ok)
        return check.Fail(Within(at, "indicators"),
                          "must be an array of three one-character indicators");
    }
    return true;
  };
  auto profile = [&](nlohmann::json& p, const Path& at) {
    if (!check.Keys(p, at,
                    {"name", "password_hash", "password", "fast_hash", "all_profiles", "auditor",
                     "groups"}) ||
        !check.Text(&p, at, "name", 10) || !check.Text(&p, at, "password_hash", 512) ||
        !check.Text(&p, at, "password", 512))
      return false;
    if (!p.contains("name")) return check.Fail(at, "has no \"name\"");
    if (!p.contains("password_hash") && !p.contains("password"))
      return check.Fail(at, "has neither \"password_hash\" nor \"password\"");
    for (const char* flag : {"fast_hash", "all_profiles", "auditor"}) {
      if (auto it = p.find(flag); it != p.end() && !it->is_boolean())
        return check.Fail(Within(at, flag), "must be true or false");
    }
    if (auto it = p.find("groups"); it != p.end()) {
      bool ok = it->is_array() && it->size() <= 256;
      for (size_t k = 0; ok && k < it->size(); ++k) {
        const nlohmann::json& g = (*it)[k];
        ok = g.is_string() && !g.get_ref<const std::string&>().empty() &&
             g.get_ref<const std::string&>().size() <= 10;
      }
      if (!ok)
        return check.Fail(Within(at, "groups"),
                          "must be an array of at most 256 profile names of 1 to 10 characters");
    }
    return true;
  };
  auto usage = [&](nlohmann::json& u, const Path& at) {
    if (!check.Keys(u, at, {"profile", "function", "usage"}) ||
        !check.Text(&u, at, "profile", 10) || !check.Text(&u, at, "function", 30) ||
        !check.Code(&u, at, "usage", {"1", "2"}))
      return false;
    for (const char* key : {"profile", "function", "usage"})
      if (!u.contains(key)) return check.Fail(at, std::string("has no \"") + key + "\"");
    return true;
  };
  return done(check.Entries(document, "functions", function) &&
              check.Entries(document, "profiles", profile) &&
              check.Entries(document, "usage", usage));
}

std::string FunctionAuditText(const FunctionRow& row) {
  return FunctionToJson(row).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string UtcText(int64_t unix_seconds) {
  const time_t t = static_cast<time_t>(unix_seconds);
  struct tm when {};
  char text[32] = "";
  if (gmtime_r(&t, &when) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &when);
  return text;
}

bool ParseUtc(const std::string& text, int64_t* micros) {
  const std::string t =
      !text.empty() && text.back() == 'Z' ? text.substr(0, text.size() - 1) : text;
  struct tm tm {};
  const char* end = strptime(t.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (end == nullptr || *end != '\0') {
    tm = {};
    end = strptime(t.c_str(), "%Y-%m-%d", &tm);
  }
  if (end == nullptr || *end != '\0') return false;
  *micros = static_cast<int64_t>(timegm(&tm)) * 1000000;
  return true;
}

nlohmann::json AuditRecordJson(const AuditRecord& r) {
  return {{"seq", r.seq},         {"at", UtcText(r.at / 1000000)},
          {"at_us", r.at},        {"who", r.who},
          {"from", r.from},       {"action", r.action},
          {"profile", r.profile}, {"function", r.function},
          {"before", r.before},   {"after", r.after}};
}

nlohmann::ordered_json FunctionToJson(const FunctionRow& f) {
  return {{"id", f.id},
          {"category", f.category},
          {"type", f.type},
          {"root", f.root},
          {"parent", f.parent},
          {"name", f.name},
          {"name2", f.name2},
          {"description", f.description},
          {"description2", f.description2},
          {"indicators", {f.indicator1, f.indicator2, f.indicator3}},
          {"default_usage", f.default_usage}};
}

}  // namespace zvt::hostd
