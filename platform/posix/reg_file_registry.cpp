#include "platform/posix/reg_file_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ascii.h"

namespace turnpike {
namespace {

// Far above any real configuration (a few hundred bytes); keeps a wrong path
// (a log, a disk image) from being read whole into the web server's memory.
constexpr std::size_t kMaxFileSize = 1024 * 1024;

constexpr std::string_view kVersion5Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view kVersion4Header = "REGEDIT4";
constexpr std::string_view kHeaderExpected =
    "the first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"";
constexpr std::string_view kValueLineShape = "a value line must look like \"Name\"=data";
constexpr std::string_view kHexListShape =
    "a hex list must be bytes of two hex digits separated by commas; found ";

// The roots a .reg file may name. Only the first is reachable through
// RegistryAccess; the others are kept apart so that a file exported from a
// whole machine does not leak, say, a user's keys into the filter's view.
constexpr std::string_view kHives[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                       "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
constexpr std::string_view kMachineRoot = "hkey_local_machine";

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = AsciiToLower(c);
  return folded;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         AsciiEqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

// A stray CR (a CR CR LF file, or one edited on an old Mac) counts as a blank.
std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Offending text quoted in a problem, shortened and with control bytes hidden
// so that a stray binary file cannot flood or garble the log line.
std::string Excerpt(std::string_view text) {
  constexpr std::size_t kMaxShown = 40;
  std::string quoted = "\"";
  for (char c : text.substr(0, kMaxShown)) {
    quoted += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
  }
  if (text.size() > kMaxShown) quoted += "...";
  quoted += '"';
  return quoted;
}

// Parses 1 to 8 hex digits, the whole of `digits`.
std::optional<std::uint32_t> ParseHex32(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (!IsAsciiHexDigit(c)) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(AsciiHexValue(c));
  }
  return value;
}

void AppendUtf8(std::string& out, std::uint32_t code_point) {
  auto put = [&out](std::uint32_t byte) { out += static_cast<char>(byte); };
  if (code_point < 0x80) {
    put(code_point);
  } else if (code_point < 0x800) {
    put(0xC0 | code_point >> 6);
    put(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    put(0xE0 | code_point >> 12);
    put(0x80 | (code_point >> 6 & 0x3F));
    put(0x80 | (code_point & 0x3F));
  } else {
    put(0xF0 | code_point >> 18);
    put(0x80 | (code_point >> 12 & 0x3F));
    put(0x80 | (code_point >> 6 & 0x3F));
    put(0x80 | (code_point & 0x3F));
  }
}

enum class Utf16Result { Ok, OddLength, UnpairedSurrogate };

// Appends UTF-16LE `bytes` to `out` as UTF-8. On failure `out` holds what came
// before the fault, so that the caller can tell on which line it lies.
Utf16Result DecodeUtf16Le(std::string_view bytes, std::string& out) {
  const std::size_t units = bytes.size() / 2;
  auto unit = [bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
  };
  out.reserve(out.size() + units);
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t code_point = unit(i);
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
      if (i + 1 == units) return Utf16Result::UnpairedSurrogate;
      const std::uint32_t low = unit(i + 1);
      if (low < 0xDC00 || low > 0xDFFF) return Utf16Result::UnpairedSurrogate;
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
      return Utf16Result::UnpairedSurrogate;
    }
    AppendUtf8(out, code_point);
  }
  return bytes.size() % 2 == 0 ? Utf16Result::Ok : Utf16Result::OddLength;
}

struct Value {
  std::string name;  // as first written; lookups fold it
  RegistryType type;
  std::string data;
  bool removed = false;  // only while parsing; Compact drops these
};

// A key's values in enumeration order, with an index by folded name so that a
// large file is read in linear time.
struct Key {
  std::vector<Value> values;
  std::unordered_map<std::string, std::size_t> positions;

  const Value* Find(const char* name) const {
    auto it = positions.find(Fold(name == nullptr ? "" : name));
    return it == positions.end() ? nullptr : &values[it->second];
  }

  // A value set again keeps its place and takes the new data, as regedit
  // leaves it when a file is imported over existing values.
  void Set(std::string name, RegistryType type, std::string data) {
    std::string folded = Fold(name);
    if (auto it = positions.find(folded); it != positions.end()) {
      Value& value = values[it->second];
      value.type = type;
      value.data = std::move(data);
      return;
    }
    values.push_back(Value{std::move(name), type, std::move(data)});
    positions.emplace(std::move(folded), values.size() - 1);
  }

  void Remove(std::string_view name) {
    auto it = positions.find(Fold(name));
    if (it == positions.end()) return;
    values[it->second].removed = true;
    positions.erase(it);
  }

  void Compact() {
    std::erase_if(values, [](const Value& value) { return value.removed; });
    positions.clear();
    for (std::size_t i = 0; i < values.size(); ++i) positions.emplace(Fold(values[i].name), i);
  }
};

// Keys by folded full path, root included ("hkey_local_machine\software").
// Map nodes never move, so handles may point at them.
using KeyMap = std::map<std::string, Key, std::less<>>;

// Creates the key and every key above it, as the registry holds them.
Key& EnsureKey(KeyMap& keys, const std::string& folded_path) {
  for (std::size_t slash = folded_path.find('\\'); slash != std::string::npos;
       slash = folded_path.find('\\', slash + 1)) {
    keys.try_emplace(folded_path.substr(0, slash));
  }
  return keys.try_emplace(folded_path).first->second;
}

void RemoveTree(KeyMap& keys, const std::string& folded_path) {
  keys.erase(folded_path);
  const std::string prefix = folded_path + '\\';
  auto first = keys.lower_bound(prefix);
  auto last = first;
  while (last != keys.end() && last->first.starts_with(prefix)) ++last;
  keys.erase(first, last);
}

// The folded full path of `path` below HKEY_LOCAL_MACHINE; nothing when a
// part of it is empty. An empty path names the root itself, as for advapi32.
std::optional<std::string> MachinePath(const char* path) {
  std::string full(kMachineRoot);
  if (path == nullptr || *path == '\0') return full;
  std::string_view rest(path);
  for (;;) {
    const std::size_t slash = rest.find('\\');
    const std::string_view part = rest.substr(0, slash);
    if (part.empty()) return std::nullopt;
    full += '\\';
    full += Fold(part);
    if (slash == std::string_view::npos) return full;
    rest.remove_prefix(slash + 1);
  }
}

// Hands out the file's lines, without their LF or CR LF, counting from 1.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (position_ >= text_.size()) return false;
    const std::size_t end = std::min(text_.find('\n', position_), text_.size());
    line = text_.substr(position_, end - position_);
    position_ = end + 1;
    ++number_;
    return true;
  }

  std::size_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t number_ = 0;
};

class Parser {
 public:
  Parser(std::string_view source, std::string_view text) : source_(source), lines_(text) {}

  // The keys the file describes, or nothing with problem() set.
  std::optional<KeyMap> Parse() {
    if (!ParseHeader()) return std::nullopt;
    std::string_view line;
    while (lines_.Next(line)) {
      line = TrimRight(TrimLeft(line));
      if (line.empty() || line.front() == ';') continue;
      const bool ok = line.front() == '[' ? ParseKeyLine(line) : ParseValueLine(line);
      if (!ok) return std::nullopt;
    }
    for (auto& [path, key] : keys_) key.Compact();
    return std::move(keys_);
  }

  const std::string& problem() const { return problem_; }

 private:
  bool Fail(std::size_t line, std::string_view what) {
    problem_ = std::string(source_) + ':' + std::to_string(line) + ": " + std::string(what);
    return false;
  }

  bool ParseHeader() {
    std::string_view line;
    while (lines_.Next(line)) {
      line = TrimRight(TrimLeft(line));
      if (line.empty()) continue;
      if (line == kVersion5Header) {
        unicode_ = true;
        return true;
      }
      if (line == kVersion4Header) return true;
      return Fail(lines_.number(), kHeaderExpected);
    }
    return Fail(1, kHeaderExpected);
  }

  bool ParseKeyLine(std::string_view line) {
    const std::size_t number = lines_.number();
    if (line.back() != ']' || line.size() < 2) return Fail(number, "a key line must end with ']'");
    std::string_view path = line.substr(1, line.size() - 2);
    const bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);

    const std::string_view root = path.substr(0, path.find('\\'));
    const auto hive =
        std::find_if(std::begin(kHives), std::end(kHives),
                     [root](std::string_view h) { return AsciiEqualsIgnoreCase(h, root); });
    if (hive == std::end(kHives)) {
      return Fail(number, "unknown root key " + Excerpt(root) +
                              "; expected HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
                              "HKEY_CLASSES_ROOT, HKEY_USERS or HKEY_CURRENT_CONFIG");
    }
    std::string folded = Fold(path);
    if (folded.back() == '\\' || folded.find("\\\\") != std::string::npos) {
      return Fail(number, "the key path " + Excerpt(path) + " has an empty part");
    }

    current_ = nullptr;
    if (remove) {
      // regedit refuses it too; a typo here would silently empty the view.
      if (path.size() == root.size()) return Fail(number, "a root key cannot be removed");
      RemoveTree(keys_, folded);
      return true;
    }
    current_ = &EnsureKey(keys_, folded);
    return true;
  }

  enum class QuotedResult { Ok, Unterminated, BadEscape };

  // Reads the quoted text at the front of `text` (which starts with '"') into
  // `out` and drops it from `text`. Only \\ and \" are escapes: anything else
  // after a backslash is almost always an unescaped Windows path.
  static QuotedResult ReadQuoted(std::string_view& text, std::string& out) {
    for (std::size_t i = 1; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '"') {
        text.remove_prefix(i + 1);
        return QuotedResult::Ok;
      }
      if (c == '\\') {
        if (i + 1 == text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
          return QuotedResult::BadEscape;
        }
        ++i;
        out += text[i];
        continue;
      }
      out += c;
    }
    return QuotedResult::Unterminated;
  }

  bool FailQuoted(std::size_t number, QuotedResult result, std::string_view what) {
    if (result == QuotedResult::BadEscape) {
      return Fail(number, std::string("a backslash in ") + std::string(what) +
                              " must be doubled (\\\\) or come before a quote (\\\")");
    }
    return Fail(number, std::string(what) + " has no closing quote");
  }

  bool ParseValueLine(std::string_view line) {
    const std::size_t number = lines_.number();
    if (line.front() != '"' && line.front() != '@') return Fail(number, kValueLineShape);
    if (current_ == nullptr) {
      return Fail(number, "a value line must come after a [key] line");
    }

    std::string name;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else if (QuotedResult r = ReadQuoted(rest, name); r != QuotedResult::Ok) {
      return FailQuoted(number, r, "the value name");
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != '=') return Fail(number, kValueLineShape);
    rest = TrimLeft(rest.substr(1));

    if (rest == "-") {
      current_->Remove(name);
      return true;
    }
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      if (QuotedResult r = ReadQuoted(rest, text); r != QuotedResult::Ok) {
        return FailQuoted(number, r, "the text");
      }
      if (!rest.empty()) {
        return Fail(number, "unexpected " + Excerpt(rest) + " after the closing quote");
      }
      text += '\0';
      current_->Set(std::move(name), RegistryType::Sz, std::move(text));
      return true;
    }
    if (StartsWithIgnoreCase(rest, "dword:")) {
      const std::string_view digits = rest.substr(6);
      const std::optional<std::uint32_t> number_value = ParseHex32(digits);
      if (!number_value) {
        return Fail(number, "a dword must be 1 to 8 hex digits, as in dword:0000000a; found " +
                                Excerpt(digits));
      }
      std::string data(4, '\0');
      for (std::size_t i = 0; i < 4; ++i) data[i] = static_cast<char>(*number_value >> (8 * i));
      current_->Set(std::move(name), RegistryType::Dword, std::move(data));
      return true;
    }
    if (StartsWithIgnoreCase(rest, "hex"))
      return ParseHexValue(number, std::move(name), rest.substr(3));
    return Fail(number, "unknown data " + Excerpt(rest) +
                            "; expected \"text\", dword:, hex:, hex(N): or -");
  }

  // `rest` follows "hex": either ":" or "(N):", then the byte list.
  bool ParseHexValue(std::size_t number, std::string name, std::string_view rest) {
    RegistryType type = RegistryType::Binary;
    if (!rest.empty() && rest.front() == '(') {
      const std::size_t close = rest.find(')');
      const std::string_view digits =
          rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
      const std::optional<std::uint32_t> code = ParseHex32(digits);
      if (close == std::string_view::npos || !code) {
        return Fail(number, "a value type must be written hex(N): with N 1 to 8 hex digits");
      }
      type = static_cast<RegistryType>(*code);
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':') {
      return Fail(number, "unknown data; expected hex: or hex(N): before the bytes");
    }
    std::string bytes;
    if (!ReadHexList(number, rest.substr(1), bytes)) return false;

    // Version 5 files hold string types in UTF-16LE; the filter reads the
    // ANSI view, which the registry itself would convert them to.
    const bool text_type =
        type == RegistryType::Sz || type == RegistryType::ExpandSz || type == RegistryType::MultiSz;
    if (unicode_ && text_type) {
      std::string text;
      switch (DecodeUtf16Le(bytes, text)) {
        case Utf16Result::Ok: break;
        case Utf16Result::OddLength:
          return Fail(number,
                      "text data in a version 5 file is UTF-16LE and cannot have an odd "
                      "number of bytes");
        case Utf16Result::UnpairedSurrogate:
          return Fail(number, "text data holds an unpaired UTF-16 surrogate");
      }
      bytes = std::move(text);
    }
    current_->Set(std::move(name), type, std::move(bytes));
    return true;
  }

  // Comma-separated bytes, continuing over lines that end in '\'. A trailing
  // comma is accepted; regedit writes one before every continuation.
  bool ReadHexList(std::size_t number, std::string_view segment, std::string& bytes) {
    for (;;) {
      segment = TrimRight(segment);
      const bool continued = !segment.empty() && segment.back() == '\\';
      if (continued) segment.remove_suffix(1);
      for (std::size_t start = 0; start <= segment.size();) {
        const std::size_t comma = std::min(segment.find(',', start), segment.size());
        const std::string_view token = TrimRight(TrimLeft(segment.substr(start, comma - start)));
        const bool last = comma == segment.size();
        if (token.empty() && !last) {
          return Fail(number, "a hex list has an empty entry between two commas");
        }
        if (!token.empty()) {
          const std::optional<std::uint32_t> byte =
              token.size() <= 2 ? ParseHex32(token) : std::nullopt;
          if (!byte) {
            return Fail(number, std::string(kHexListShape) + Excerpt(token));
          }
          bytes += static_cast<char>(*byte);
        }
        start = comma + 1;
      }
      if (!continued) return true;
      if (!lines_.Next(segment)) {
        return Fail(number, "the hex list continues past the end of the file");
      }
      number = lines_.number();
      segment = TrimLeft(segment);
    }
  }

  std::string_view source_;
  LineReader lines_;
  KeyMap keys_;
  Key* current_ = nullptr;  // the key value lines go to; none before a [key] line
  bool unicode_ = false;    // version 5 file
  std::string problem_;
};

// The line on which the text decoded so far ends.
std::size_t LineAtEnd(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

// Owns a file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Reads at most kMaxFileSize + 1 bytes: enough to tell a file too large.
// Returns 0, or the errno of the failure.
int ReadFile(const std::string& path, std::string& bytes) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return errno;
  char chunk[16 * 1024];
  while (bytes.size() <= kMaxFileSize) {
    const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return 0;
}

}  // namespace

struct RegFileRegistry::State {
  State() { keys.try_emplace(std::string(kMachineRoot)); }

  // Guards keys, handles and next_handle. problem and file_found are set
  // before the registry is handed out and never change.
  mutable std::shared_mutex mutex;
  KeyMap keys;
  std::unordered_map<RegistryKeyHandle, Key*> handles;
  RegistryKeyHandle next_handle = 1;  // never reused, so a stale handle stays invalid
  std::optional<std::string> problem;
  bool file_found = false;

  Key* KeyOf(RegistryKeyHandle handle) const {
    auto it = handles.find(handle);
    return it == handles.end() ? nullptr : it->second;
  }
};

std::string ResolveRegistryPath(const char* configured) {
  if (configured != nullptr && *configured != '\0') return configured;
  const char* variable = std::getenv(kRegistryFileVariable);
  if (variable != nullptr && *variable != '\0') return variable;
  return kDefaultRegistryFile;
}

RegFileRegistry::RegFileRegistry() : state_(std::make_unique<State>()) {}
RegFileRegistry::~RegFileRegistry() = default;
RegFileRegistry::RegFileRegistry(RegFileRegistry&&) noexcept = default;
RegFileRegistry& RegFileRegistry::operator=(RegFileRegistry&&) noexcept = default;

RegFileRegistry RegFileRegistry::FromFile(const std::string& path) {
  RegFileRegistry registry;
  try {
    std::string bytes;
    const int error = ReadFile(path, bytes);
    if (error == ENOENT) return registry;
    if (error != 0) {
      registry.state_->file_found = true;
      registry.state_->problem = path + ": " + std::generic_category().message(error);
      return registry;
    }
    return FromText(bytes, path);
  } catch (const std::bad_alloc&) {
    registry.state_->file_found = true;
    registry.state_->problem.reset();
    try {
      registry.state_->problem = path + ": not enough memory to read the file";
    } catch (const std::bad_alloc&) {
    }
    return registry;
  }
}

RegFileRegistry RegFileRegistry::FromText(std::string_view bytes, std::string_view source_name) {
  RegFileRegistry registry;
  State& state = *registry.state_;
  state.file_found = true;
  try {
    const std::string source(source_name);
    if (bytes.size() > kMaxFileSize) {
      state.problem = source + ": the file is larger than " + std::to_string(kMaxFileSize) +
                      " bytes, too large for a registry file";
      return registry;
    }
    std::string decoded;
    std::string_view text = bytes;
    if (bytes.starts_with("\xFF\xFE")) {
      switch (DecodeUtf16Le(bytes.substr(2), decoded)) {
        case Utf16Result::Ok: break;
        case Utf16Result::OddLength:
          state.problem = source + ':' + std::to_string(LineAtEnd(decoded)) +
                          ": the file ends in the middle of a UTF-16 character";
          return registry;
        case Utf16Result::UnpairedSurrogate:
          state.problem = source + ':' + std::to_string(LineAtEnd(decoded)) +
                          ": the text holds an unpaired UTF-16 surrogate";
          return registry;
      }
      text = decoded;
    } else if (bytes.starts_with("\xFE\xFF")) {
      state.problem = source +
                      ":1: the file is UTF-16 big-endian; save it as UTF-16LE (as "
                      "regedit does) or UTF-8";
      return registry;
    } else if (bytes.starts_with("\xEF\xBB\xBF")) {
      text.remove_prefix(3);
    }
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
      state.problem = source + ':' + std::to_string(LineAtEnd(text.substr(0, nul))) +
                      ": the file holds a NUL byte; a UTF-16 file must start with its "
                      "byte-order mark";
      return registry;
    }

    Parser parser(source, text);
    std::optional<KeyMap> keys = parser.Parse();
    if (!keys) {
      state.problem = parser.problem();
      return registry;
    }
    state.keys = std::move(*keys);
    state.keys.try_emplace(std::string(kMachineRoot));
  } catch (const std::bad_alloc&) {
    state.keys.clear();
    state.problem.reset();
    try {
      state.keys.try_emplace(std::string(kMachineRoot));
      state.problem = std::string(source_name) + ": not enough memory to read the file";
    } catch (const std::bad_alloc&) {
    }
  }
  return registry;
}

const std::optional<std::string>& RegFileRegistry::problem() const noexcept {
  static const std::optional<std::string> kNone;
  return state_ ? state_->problem : kNone;
}

bool RegFileRegistry::file_found() const noexcept { return state_ && state_->file_found; }

bool RegFileRegistry::OpenKey(const char* path, RegistryAccessMode, RegistryKeyHandle* key) {
  if (!state_ || key == nullptr) return false;
  try {
    const std::optional<std::string> full = MachinePath(path);
    if (!full) return false;
    std::unique_lock lock(state_->mutex);
    auto it = state_->keys.find(*full);
    if (it == state_->keys.end()) return false;
    const RegistryKeyHandle handle = state_->next_handle;
    state_->handles.emplace(handle, &it->second);
    ++state_->next_handle;
    *key = handle;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool RegFileRegistry::CreateKey(const char* path, RegistryKeyHandle* key) {
  if (!state_ || key == nullptr) return false;
  try {
    const std::optional<std::string> full = MachinePath(path);
    if (!full) return false;
    std::unique_lock lock(state_->mutex);
    Key& created = EnsureKey(state_->keys, *full);
    const RegistryKeyHandle handle = state_->next_handle;
    state_->handles.emplace(handle, &created);
    ++state_->next_handle;
    *key = handle;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void RegFileRegistry::CloseKey(RegistryKeyHandle key) {
  if (!state_) return;
  std::unique_lock lock(state_->mutex);
  state_->handles.erase(key);
}

bool RegFileRegistry::QueryValue(RegistryKeyHandle key, const char* name, RegistryType* type,
                                 void* data, std::uint32_t* size) {
  if (!state_ || (data != nullptr && size == nullptr)) return false;
  try {
    std::shared_lock lock(state_->mutex);
    const Key* open = state_->KeyOf(key);
    const Value* value = open == nullptr ? nullptr : open->Find(name);
    if (value == nullptr) return false;
    const auto stored = static_cast<std::uint32_t>(value->data.size());
    if (data != nullptr && *size < stored) {
      *size = stored;
      return false;
    }
    if (data != nullptr) std::memcpy(data, value->data.data(), stored);
    if (type != nullptr) *type = value->type;
    if (size != nullptr) *size = stored;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool RegFileRegistry::EnumValue(RegistryKeyHandle key, std::uint32_t index, char* name,
                                std::uint32_t* name_capacity, RegistryType* type, void* data,
                                std::uint32_t* data_size) {
  if (!state_ || name == nullptr || name_capacity == nullptr) return false;
  if (data != nullptr && data_size == nullptr) return false;
  std::shared_lock lock(state_->mutex);
  const Key* open = state_->KeyOf(key);
  if (open == nullptr || index >= open->values.size()) return false;
  const Value& value = open->values[index];
  const auto stored = static_cast<std::uint32_t>(value.data.size());
  // Nothing is written unless everything fits, so a caller retrying with a
  // larger buffer never sees half an answer.
  if (value.name.size() >= *name_capacity) return false;
  if (data != nullptr && *data_size < stored) {
    *data_size = stored;
    return false;
  }
  std::memcpy(name, value.name.c_str(), value.name.size() + 1);
  *name_capacity = static_cast<std::uint32_t>(value.name.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr) std::memcpy(data, value.data.data(), stored);
  if (data_size != nullptr) *data_size = stored;
  return true;
}

bool RegFileRegistry::SetValue(RegistryKeyHandle key, const char* name, RegistryType type,
                               const void* data, std::uint32_t size) {
  if (!state_ || (data == nullptr && size != 0)) return false;
  try {
    std::string bytes =
        data == nullptr ? std::string() : std::string(static_cast<const char*>(data), size);
    std::unique_lock lock(state_->mutex);
    Key* open = state_->KeyOf(key);
    if (open == nullptr) return false;
    open->Set(name == nullptr ? "" : name, type, std::move(bytes));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace turnpike
